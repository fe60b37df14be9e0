// The MFX explorer's conversation fed whatever the handset might send: the
// mount answer, directory listings, a file's size and chunks, status records,
// the full dump's blocks and the unmount answer, between the operator's
// actions. No name reaches the lists with a zero byte in it, the state is
// always one of the explorer's, and a transfer that did not complete leaves
// nothing under the name the operator chose.
#include <cstdint>
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
    std::vector<std::string> chosen;
    auto choose = [&] {
        chosen.push_back(fuzzsupport::ScratchPath("out" + std::to_string(chosen.size()) + ".hex"));
        prompts.m_saveAnswers.push_back(in.Byte() % 16 == 0 ? std::string() : chosen.back());
    };
    auto deliver = [&] {
        const std::vector<uint8_t> chunk = in.Bytes(in.Range(1, 300));
        port.DeliverChunk(chunk.data(), static_cast<int32_t>(chunk.size()));
        exp.OnExplorerRx();
        FUZZ_CHECK(KnownState(exp.State()), "an explorer state");
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
                                      : exp.ItemForPath(in.ShortString()));
                break;
            case 1:
                choose();
                exp.DumpSelectedFile(in.ShortString());
                break;
            case 2:
                prompts.m_yesNoAnswers.push_back(in.Bool() ? platform::MsgAnswer::Yes
                                                           : platform::MsgAnswer::No);
                exp.DeleteSelectedFile(in.ShortString());
                break;
            case 3:
                exp.ShowFileStatus(in.ShortString());
                break;
            case 4:
                choose();
                exp.DumpWholeNand();
                break;
            case 5:
                exp.ItemForPath(in.ShortString());
                break;
            default:
                exp.CloseExplorer();
                bClosed = true;
                break;
        }
        FUZZ_CHECK(KnownState(exp.State()), "an explorer state");
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
    FUZZ_CHECK(view.log.find("NAND FULL DUMP Completed") == std::string::npos,
               "a full dump cannot complete in so few bytes");
    size_t nKept = 0;
    for (const std::string& path : chosen) {
        nKept += fuzzsupport::FileExists(path) ? 1 : 0;
    }
    FUZZ_CHECK(nKept <= nCompleted, "a chosen name holds only a completed transfer");
    return 0;
}
