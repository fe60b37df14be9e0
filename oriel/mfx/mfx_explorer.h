#pragma once
// The MFX explorer's conversation with the boot-loader: mount, directory
// listings into a tree, reading a file to the PC, delete, a file's status
// record, the whole NAND to a file, unmount. While it is open it takes the
// receive notifications itself; the engine is not involved. No widget code:
// the dialog and the command line each give it a view.

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "oriel/engine/output_file.h"

namespace platform {
class IPrompts;
}

namespace oriel {

class CSerialPort;

class IExplorerView {
  public:
    virtual ~IExplorerView() = default;
    virtual void ExpLog(const std::string& text) = 0;
    virtual void ExpReplaceLog(const std::string& text) = 0;
    virtual void TreeItemAdded(int32_t nItem, int32_t nParent, const std::string& text) = 0;
    virtual void TreeItemExpanded(int32_t nItem) = 0;
    virtual void FileListCleared() = 0;
    virtual void FileAdded(const std::string& name) = 0;
    virtual void SetProgressRange(int32_t nMax) = 0;
    virtual void SetProgressPos(int32_t nPos) = 0;
    // The tree, the file list and "NAND FULL Dump" (EXIT stays available).
    virtual void EnableControls(bool bEnable) = 0;
    virtual void EnableTree(bool bEnable) = 0;
    // The unmount was answered: hand the notifications back and close.
    virtual void ExplorerClosed() = 0;
};

// Told where a transfer to the PC begins and ends (the flash history
// listens here), and of what the explorer's log is told meanwhile.
class IExplorerTransferObserver {
  public:
    virtual ~IExplorerTransferObserver() = default;
    // The output file is made; the handset's bytes come next. An empty
    // handset path: the whole NAND.
    virtual void TransferBegun(const std::string& strHandsetPath,
                               const std::string& strOutPath) = 0;
    virtual void ExplorerLog(const std::string& text, bool bReplace) = 0;
    // bCompleted: the file is whole under its name; otherwise why, in which
    // state, and where the bytes received were kept.
    virtual void TransferEnded(bool bCompleted, const std::string& strWhy, int64_t nBytes,
                               const std::string& strState, const std::string& strKeptPath) = 0;
};

constexpr uint32_t kNandDumpBytes = 0x7D20000;  // 131203072, 64064 blocks of 2048

class CMfxExplorer {
  public:
    // Explorer states.
    enum : int32_t {
        EXP_SYNC = 19,
        EXP_MOUNT = 25,
        EXP_ENTRY_LENGTH = 54,
        EXP_ENTRY = 55,
        EXP_ENTRY_NEXT = 56,
        EXP_FILE_FOUND = 37,
        EXP_FILE_SIZE = 38,
        EXP_FILE_DATA = 39,
        EXP_DELETE = 40,
        EXP_STATUS_FOLLOWS = 41,
        EXP_STATUS = 42,
        EXP_DUMP_START = 44,
        EXP_DUMP_BLOCK = 45,
        EXP_DUMP_END = 46,
        EXP_UNMOUNT = 34,
        EXP_LIST_FAILED = 36,
        EXP_IDLE = 59,
    };
    static constexpr int32_t kRootItem = 0;

    CMfxExplorer(CSerialPort& port, platform::IPrompts& prompts, IExplorerView& view);

    void SetClock(std::function<std::time_t()> clock) { m_fnNow = std::move(clock); }
    void SetTransferObserver(IExplorerTransferObserver* pObserver) {
        m_view.m_pObserver = pObserver;
    }

    // Opening: root "/", state 19, D9.
    void Open();
    // A receive notification: every queued byte through the state table.
    void OnExplorerRx();

    // The operator's actions; each starts only from the idle state.
    void ListDirectory(int32_t nItem);
    void DumpSelectedFile(const std::string& name);
    void DeleteSelectedFile(const std::string& name);
    void ShowFileStatus(const std::string& name);
    // The same for a line of the file list: the name as the handset gave it,
    // not as a window shows it (the code page may not round-trip).
    void DumpFile(size_t nIndex);
    void DeleteFile(size_t nIndex);
    void ShowStatus(size_t nIndex);
    void DumpWholeNand();
    void CloseExplorer();
    // A transfer the caller gives up on (timed out, interrupted): its bytes
    // are kept under the incomplete name and the log says where.
    void AbandonTransfer(const char* why) { SetAside(why); }

    // The tree item for a path, made (without listing) where it is not yet
    // known: how a caller without a tree reaches a directory.
    int32_t ItemForPath(const std::string& path);

    bool Idle() const { return m_nExpState == EXP_IDLE || m_nExpState == EXP_LIST_FAILED; }
    int32_t State() const { return m_nExpState; }
    // "EXP_FILE_DATA" and so on; the explorer's numbers are its own, not the engine's.
    static const char* StateName(int32_t nState);
    // The state the last reply byte was taken in (never idle): where a failure happened.
    int32_t LastWaitState() const { return m_nLastWaitState; }
    // The last unmount was answered with its own command byte.
    bool UnmountAcknowledged() const { return m_bUnmountAcked; }
    const std::string& ItemText(int32_t nItem) const {
        return m_nodes[static_cast<size_t>(nItem)].text;
    }
    const std::vector<int32_t>& Children(int32_t nItem) const {
        return m_nodes[static_cast<size_t>(nItem)].children;
    }
    const std::vector<std::string>& Files() const { return m_files; }
    const std::string& DirPath() const { return m_strDirPath; }
    // Where a failed transfer's bytes were left (empty when none failed).
    const std::string& KeptPath() const { return m_strKeptPath; }

    std::string PathOf(int32_t nItem) const;

  private:
    // The caller's view, with the log also told to the transfer observer.
    class CObservedView : public IExplorerView {
      public:
        explicit CObservedView(IExplorerView& view) : m_view(view) {}
        void ExpLog(const std::string& text) override;
        void ExpReplaceLog(const std::string& text) override;
        void TreeItemAdded(int32_t nItem, int32_t nParent, const std::string& text) override {
            m_view.TreeItemAdded(nItem, nParent, text);
        }
        void TreeItemExpanded(int32_t nItem) override { m_view.TreeItemExpanded(nItem); }
        void FileListCleared() override { m_view.FileListCleared(); }
        void FileAdded(const std::string& name) override { m_view.FileAdded(name); }
        void SetProgressRange(int32_t nMax) override { m_view.SetProgressRange(nMax); }
        void SetProgressPos(int32_t nPos) override { m_view.SetProgressPos(nPos); }
        void EnableControls(bool bEnable) override { m_view.EnableControls(bEnable); }
        void EnableTree(bool bEnable) override { m_view.EnableTree(bEnable); }
        void ExplorerClosed() override { m_view.ExplorerClosed(); }

        IExplorerTransferObserver* m_pObserver = nullptr;

      private:
        IExplorerView& m_view;
    };
    void TransferEnded(bool bCompleted, const std::string& strWhy);

    struct Node {
        std::string text;
        int32_t parent;
        std::vector<int32_t> children;
    };

    void Step(uint8_t by);
    void OnEntry();
    void OnFileByte(uint8_t by);
    void OnDumpByte(uint8_t by);
    void PrintStatus();
    void StartListing(const std::string& strWirePath, bool bSkipDirs);
    bool FilePath(const std::string& name);
    bool ConvertPath(std::string& utf8, int& nLength);
    void SendPathRequest(uint8_t byCommand, const std::string& utf8);
    void NextChunk();
    void SetAside(const char* why);
    void Send(const uint8_t* p, size_t n);
    void SendByte(uint8_t by) { Send(&by, 1); }
    int32_t AddChild(int32_t nParent, const std::string& text);

    CSerialPort& m_port;
    platform::IPrompts& m_prompts;
    CObservedView m_view;
    std::function<std::time_t()> m_fnNow;

    int32_t m_nExpState = EXP_IDLE;
    bool m_bUnmountAcked = false;
    int32_t m_nLastWaitState = EXP_IDLE;
    uint8_t m_byExpSum = 0;
    std::vector<Node> m_nodes;
    int32_t m_nCurItem = kRootItem;
    std::vector<std::string> m_files;
    std::string m_strDirPath = "/";
    std::string m_strFileDir = "/";
    std::string m_szFilePath;
    int32_t m_bSkipDirs = 0;

    std::array<uint8_t, 257> m_abyEntry{};
    int32_t m_nEntryLen = 0;
    int32_t m_nEntryPos = 0;
    std::array<uint8_t, 28> m_abyStat{};
    int32_t m_nStatPos = 0;
    std::array<uint8_t, 4> m_abySize{};
    int32_t m_nSizePos = 0;

    int32_t m_nReadSize = 0;
    int32_t m_nReadRemaining = 0;
    int32_t m_nChunkLen = 0;
    int32_t m_nChunkPos = 0;
    int32_t m_bLastReadChunk = 0;
    int32_t m_nReadDone = 0;
    std::vector<uint8_t> m_abyChunk;
    COutputFile m_fileOut;
    int32_t m_bFileOpen = 0;
    std::string m_strOutPath;
    std::string m_strKeptPath;
    std::time_t m_tDumpStart = 0;
    std::time_t m_tDumpEnd = 0;
};

}  // namespace oriel
