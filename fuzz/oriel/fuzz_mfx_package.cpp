// An MFX package as the operator might pick it: any description text beside a
// data file of any size, read in any code page. Loading checks it whole;
// walking it hands out each entry once, converted whole or refused.
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <iterator>
#include <string>

#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/scratch_dir.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/downloader_engine.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/code_page.h"
#include "oriel/mfx/mfx_package.h"
#include "platform/scripted_prompts.h"

namespace {

const char* const kPages[] = {"ISO-8859-1", "UTF-8", "CP1252", "SHIFT_JIS", "GB18030"};

void CheckEntry(const oriel::CMfxPackage& package, const oriel::CDownloaderEngine& engine,
                size_t nLimit) {
    if (package.EntryRefused()) {
        FUZZ_CHECK(engine.m_nState == oriel::IDLE, "a refused entry ends the download");
        return;
    }
    const std::string& utf8 = package.m_strEntryUtf8;
    FUZZ_CHECK(!utf8.empty() && utf8.back() == '\0' && utf8.find('\0') == utf8.size() - 1,
               "an entry goes out with exactly one zero byte, at its end");
    FUZZ_CHECK(utf8.size() <= nLimit, "an entry name fits the handset's limit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    oriel::SetAnsiCodePage(kPages[in.Byte() % std::size(kPages)]);
    const uint32_t nData = in.U32() % (1u << 24);
    const std::string cfg = in.RestString();

    const std::string mfx = fuzzsupport::ScratchPath("pkg.mfx");
    const std::string cfgPath = fuzzsupport::ScratchPath("pkg.cfg");
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(cfgPath, {cfg.begin(), cfg.end()}), "cfg written");
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(mfx, {}) && truncate(mfx.c_str(), nData) == 0,
               "data file made");

    oriel::CSerialPort port;
    oriel::CRecordingConsole console;
    platform::CScriptedPrompts prompts;
    oriel::CDownloaderEngine engine(port, console, prompts);
    oriel::CMfxPackage package(engine);
    package.m_strMfxPath = mfx;
    FUZZ_CHECK(oriel::CfgPathFor(mfx) == cfgPath, "the description sits beside the data");

    if (package.LoadMfxPackage() != 1) {
        FUZZ_CHECK(prompts.m_messages.size() == 1, "a refused package says so once");
        FUZZ_CHECK(package.m_strCfgText.empty(), "a refused package keeps no description");
        return 0;
    }
    FUZZ_CHECK(prompts.m_messages.empty(), "a usable package shows no box");
    FUZZ_CHECK(package.m_nMfxFileSize == static_cast<int32_t>(nData), "the data file's size");

    // Directories, then files, each pass from the start; the cursor only
    // moves forward, so each pass ends.
    const size_t nMaxEntries = cfg.size() + 1;
    size_t n = 0;
    engine.m_nState = oriel::WAIT_NAME_SUM;
    for (int32_t last = -1; package.NextDirectoryEntry(); ++n) {
        FUZZ_CHECK(n < nMaxEntries && package.m_nCfgCursor > last, "the walk moves on");
        last = package.m_nCfgCursor;
        CheckEntry(package, engine, 63);
        engine.m_nState = oriel::WAIT_NAME_SUM;
    }
    FUZZ_CHECK(package.m_nCfgCursor == 0, "the walk ends back at the start");
    int64_t total = 0;
    for (int32_t last = -1;; ++n) {
        engine.m_nState = oriel::WAIT_FILE_HEADER_SUM;
        const bool bEntry = package.NextFileEntry();
        if (!bEntry) {
            if (package.EntryRefused()) {
                CheckEntry(package, engine, 511);
            }
            break;
        }
        FUZZ_CHECK(n < 2 * nMaxEntries && package.m_nCfgCursor > last, "the walk moves on");
        last = package.m_nCfgCursor;
        CheckEntry(package, engine, 511);
        FUZZ_CHECK(package.m_nEntryFileSize >= 0, "a size is never negative");
        total += package.m_nEntryFileSize;
    }
    FUZZ_CHECK(total >= 0 && total <= INT64_MAX / 2, "sizes add up without overflow");
    return 0;
}
