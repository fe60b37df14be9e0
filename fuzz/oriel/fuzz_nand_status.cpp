// NAND format and status on the engine, fed whatever the handset might send:
// the result bytes, the 44-byte status record and the 5-byte error replies.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/downloader_engine.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/nand_ops.h"
#include "platform/scripted_prompts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    const bool bFormat = in.Bool();

    // The record formatting on its own, on any 44 bytes.
    const std::vector<uint8_t> record = in.Bytes(44);
    if (record.size() == 44) {
        // Eleven numbered lines, in order (the file system id is printed as
        // the four bytes it is, whatever they are).
        const std::string text = oriel::FormatNandStatus(record.data());
        size_t at = 0;
        for (int line = 1; line <= 11; ++line) {
            at = text.find(std::to_string(line) + ". ", at);
            FUZZ_CHECK(at != std::string::npos, "eleven numbered lines of status");
        }
        const std::string err = oriel::FormatNandError("%x %x", record.data());
        FUZZ_CHECK(!err.empty(), "an error reply prints");
    }

    oriel::CSerialPort port;  // never opened: what the engine sends goes nowhere
    oriel::CRecordingConsole console;
    platform::CScriptedPrompts prompts;
    oriel::CDownloaderEngine engine(port, console, prompts);
    oriel::CNandOps ops(engine);
    engine.m_bIdentified = 1;
    engine.m_nState = oriel::IDLE;
    engine.SetClock([] { return std::time_t{1000}; });
    prompts.m_defaultYesNo = platform::MsgAnswer::Yes;
    FUZZ_CHECK(bFormat ? ops.StartFormat() : ops.StartStatus(), "the operation starts");

    // The handset's bytes, in wake-ups of the sizes the input says.
    while (!in.Empty()) {
        const size_t n = in.Range(1, 64);
        const std::vector<uint8_t> chunk = in.Bytes(n);
        port.DeliverChunk(chunk.data(), static_cast<int32_t>(chunk.size()));
        engine.OnCommRxChar(1, 0);
        const int32_t s = engine.m_nState;
        if (bFormat) {
            FUZZ_CHECK(s == oriel::WAIT_SYNC || s == oriel::WAIT_FORMAT_RESULT ||
                           s == oriel::WAIT_FORMAT_ERROR || s == oriel::IDLE,
                       "a format state");
        } else {
            FUZZ_CHECK(s == oriel::WAIT_SYNC || s == oriel::WAIT_STATUS_RESULT ||
                           s == oriel::WAIT_STATUS_DATA || s == oriel::WAIT_STATUS_ERROR ||
                           s == oriel::IDLE,
                       "a status state");
        }
        FUZZ_CHECK(engine.ReplyCount() >= 0 && static_cast<size_t>(engine.ReplyCount()) <=
                                                   oriel::CDownloaderEngine::kReplyMax,
                   "the reply collector stays inside its buffer");
        if (s == oriel::IDLE) {
            break;
        }
    }
    const std::vector<std::string> shown = prompts.MessageTexts();
    const size_t nShown = shown.size();
    // "Sure to FORMAT?" is the first box of a format.
    const size_t nFirst = bFormat ? 1 : 0;
    FUZZ_CHECK(nShown <= nFirst + 1, "at most one box after the start");
    if (nShown == nFirst + 1) {
        FUZZ_CHECK(bFormat && shown.back() == "NAND-Formatting Completed!" &&
                       engine.m_nState == oriel::IDLE &&
                       console.m_strLog.find("Success!") != std::string::npos,
                   "completion only after the format succeeded");
    }
    if (console.m_strLog.find("< Result >") != std::string::npos) {
        FUZZ_CHECK(!bFormat && engine.m_nState == oriel::IDLE, "a status result ends the status");
    }
    return 0;
}
