#pragma once
// An explorer view that keeps what it was shown, for tests.

#include <cstdint>
#include <string>
#include <vector>

#include "oriel/mfx/mfx_explorer.h"

namespace testsupport {

class RecordingView : public oriel::IExplorerView {
  public:
    void ExpLog(const std::string& text) override { log += text; }
    void ExpReplaceLog(const std::string& text) override { log = text; }
    void TreeItemAdded(int32_t nItem, int32_t nParent, const std::string& text) override {
        tree.push_back({nItem, nParent, text});
    }
    void TreeItemExpanded(int32_t) override {}
    void FileListCleared() override { files.clear(); }
    void FileAdded(const std::string& name) override { files.push_back(name); }
    void SetProgressRange(int32_t n) override { progressMax = n; }
    void SetProgressPos(int32_t n) override { progressPos = n; }
    void EnableControls(bool b) override { enabled = b; }
    void EnableTree(bool b) override { treeEnabled = b; }
    void ExplorerClosed() override { ++closed; }

    struct Item {
        int32_t id, parent;
        std::string text;
    };
    std::string log;
    std::vector<Item> tree;
    std::vector<std::string> files;
    int32_t progressMax = 0, progressPos = 0;
    bool enabled = true, treeEnabled = true;
    int closed = 0;
};

// One entry of a directory listing as the handset sends it: the length byte
// (name and its zero), the type (1 file, 2 directory), the name, a zero.
inline std::vector<uint8_t> ListEntry(uint8_t type, const std::string& name) {
    std::vector<uint8_t> e;
    e.push_back(static_cast<uint8_t>(name.size() + 1));
    e.push_back(type);
    for (const char c : name) {
        e.push_back(static_cast<uint8_t>(c));
    }
    e.push_back(0);
    return e;
}

}  // namespace testsupport
