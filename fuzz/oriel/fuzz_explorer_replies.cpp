// The MFX explorer's conversation fed whatever the handset might send: the
// mount answer, directory listings, a file's size and chunks, status records,
// the full dump's blocks and the unmount answer, between the operator's
// actions. No name reaches the lists with a zero byte in it, the state is
// always one of the explorer's, and a transfer that did not complete leaves
// nothing under the name the operator chose.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/scratch_dir.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/code_page.h"
#include "oriel/mfx/mfx_explorer.h"
#include "platform/scripted_prompts.h"
#include "tests/support/recording_explorer_view.h"

namespace {

using Explorer = oriel::CMfxExplorer;

bool KnownState(int32_t s) {
    static const std::set<int32_t> kStates = {
        Explorer::EXP_SYNC,           Explorer::EXP_MOUNT,      Explorer::EXP_ENTRY_LENGTH,
        Explorer::EXP_ENTRY,          Explorer::EXP_ENTRY_NEXT, Explorer::EXP_FILE_FOUND,
        Explorer::EXP_FILE_SIZE,      Explorer::EXP_FILE_DATA,  Explorer::EXP_DELETE,
        Explorer::EXP_STATUS_FOLLOWS, Explorer::EXP_STATUS,     Explorer::EXP_DUMP_START,
        Explorer::EXP_DUMP_BLOCK,     Explorer::EXP_DUMP_END,   Explorer::EXP_UNMOUNT,
        Explorer::EXP_LIST_FAILED,    Explorer::EXP_IDLE};
    return kStates.count(s) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    fuzzsupport::ClearScratch();
    oriel::SetAnsiCodePage(in.Bool() ? "UTF-8" : "ISO-8859-1");

    oriel::CSerialPort port;  // never opened: the requests go nowhere
    platform::CScriptedPrompts prompts;
    testsupport::RecordingView view;
    Explorer exp(port, prompts, view);
    exp.SetClock([] { return std::time_t{1000}; });

    // Each transfer gets a name of its own; a file may stay under it only
    // after its transfer said it completed.
    // A full dump is 131 MB: none can complete here, so its name must stay free.
    std::vector<std::string> chosen;
    std::vector<std::string> dumps;
    auto choose = [&](std::vector<std::string>& names) {
        const std::string name = "out" + std::to_string(chosen.size() + dumps.size()) + ".hex";
        names.push_back(fuzzsupport::ScratchPath(name));
        // One transfer at a time: an answer its action did not ask for goes.
        prompts.m_saveAnswers.clear();
        prompts.m_saveAnswers.push_back(in.Byte() % 16 == 0 ? std::string() : names.back());
    };
    // What the operator types or picks: a name never holds a zero byte.
    auto typed = [&] {
        std::string s = in.ShortString();
        std::erase(s, '\0');
        return s;
    };
    auto deliver = [&] {
        const std::vector<uint8_t> chunk = in.Bytes(in.Range(1, 300));
        port.DeliverChunk(chunk.data(), static_cast<int32_t>(chunk.size()));
        exp.OnExplorerRx();
        FUZZ_CHECK(KnownState(exp.State()), "an explorer state");
        if (std::getenv("ORIEL_FUZZ_VERBOSE") != nullptr) {
            std::fprintf(stderr, "%zu bytes -> state %d\n", chunk.size(), exp.State());
        }
    };

    exp.Open();
    bool bClosed = false;
    for (int step = 0; step < 200 && !in.Empty(); ++step) {
        const uint8_t action = in.Byte();
        if (bClosed || action < 160) {
            deliver();
            continue;
        }
        switch (action % 8) {
            case 0:
                exp.ListDirectory(static_cast<int32_t>(in.Byte()) %
                                              static_cast<int32_t>(exp.Children(0).size() + 1) ==
                                          0
                                      ? Explorer::kRootItem
                                      : exp.ItemForPath(typed()));
                break;
            case 1:
                // A transfer starts only from the idle state: only then does
                // its name count.
                if (exp.Idle()) {
                    choose(chosen);
                }
                exp.DumpSelectedFile(typed());
                break;
            case 2:
                prompts.m_yesNoAnswers.push_back(in.Bool() ? platform::MsgAnswer::Yes
                                                           : platform::MsgAnswer::No);
                exp.DeleteSelectedFile(typed());
                break;
            case 3:
                exp.ShowFileStatus(typed());
                break;
            case 4:
                if (exp.Idle()) {
                    choose(dumps);
                }
                exp.DumpWholeNand();
                break;
            case 5:
                exp.ItemForPath(typed());
                break;
            default:
                exp.CloseExplorer();
                bClosed = true;
                break;
        }
        FUZZ_CHECK(KnownState(exp.State()), "an explorer state");
        if (std::getenv("ORIEL_FUZZ_VERBOSE") != nullptr) {
            std::fprintf(stderr, "action %d -> state %d\n", action % 8, exp.State());
        }
    }
    if (!bClosed) {
        exp.CloseExplorer();
    }
    for (const std::string& name : exp.Files()) {
        FUZZ_CHECK(name.find('\0') == std::string::npos, "no zero byte in a file name");
    }
    for (size_t i = 0; i < exp.Children(0).size(); ++i) {
        const std::string& text = exp.ItemText(exp.Children(0)[i]);
        FUZZ_CHECK(!text.empty() && text.find('\0') == std::string::npos, "a directory's name");
    }
    size_t nCompleted = 0;
    for (const std::string& text : prompts.MessageTexts()) {
        nCompleted += text == "Dump Completed!" ? 1 : 0;
    }
    if (std::getenv("ORIEL_FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "explorer log:\n%s\nboxes:", view.log.c_str());
        for (const std::string& t : prompts.MessageTexts()) {
            std::fprintf(stderr, " \"%s\"", t.c_str());
        }
        std::fprintf(stderr, "\nchosen:");
        for (const std::string& path : chosen) {
            std::fprintf(stderr, " %s%s", path.c_str(),
                         fuzzsupport::FileExists(path) ? "(kept)" : "");
        }
        std::fprintf(stderr, "\ndumps:");
        for (const std::string& path : dumps) {
            std::fprintf(stderr, " %s%s", path.c_str(),
                         fuzzsupport::FileExists(path) ? "(kept)" : "");
        }
        std::fprintf(stderr, "\n");
    }
    for (const std::string& path : dumps) {
        FUZZ_CHECK(!fuzzsupport::FileExists(path),
                   "a full dump that did not complete leaves nothing under the chosen name");
    }
    size_t nKept = 0;
    for (const std::string& path : chosen) {
        nKept += fuzzsupport::FileExists(path) ? 1 : 0;
    }
    FUZZ_CHECK(nKept <= nCompleted, "a chosen name holds only a completed transfer");
    return 0;
}
