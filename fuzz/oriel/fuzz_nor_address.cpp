// The operator's NOR texts: the start address of a download and the sector
// lists of erase and dump, and the sector lookups they lead to.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/downloader_engine.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/link/serial_port.h"
#include "platform/scripted_prompts.h"

namespace {

// Hex digits after an optional 0x, up to the first other character; the
// last eight count.
uint32_t ReferenceHex(const std::string& text) {
    size_t i = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int d = -1;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        }
        if (d < 0) {
            break;
        }
        v = ((v << 4) | static_cast<uint64_t>(d)) & 0xFFFFFFFFu;
    }
    return static_cast<uint32_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    oriel::BuildNorSectorMap();
    // Before identification no sector is usable.
    oriel::g_nNorSectors = in.Byte() % 4 == 0 ? 0 : oriel::kNorSectorCount;
    const uint32_t probe = in.U32();
    const std::string address = in.ShortString();
    const std::string list = in.RestString();

    FUZZ_CHECK(oriel::ParseHexAddress(address) == ReferenceHex(address), "hex address value");

    oriel::CSerialPort port;
    oriel::CRecordingConsole console;
    platform::CScriptedPrompts prompts;
    oriel::CDownloaderEngine engine(port, console, prompts);
    engine.m_nState = oriel::WAIT_SYNC;
    uint32_t offset = 0xDEADBEEF;
    int32_t sector = -7;
    if (oriel::CheckNorAddress(engine, address, offset, sector)) {
        FUZZ_CHECK(sector >= 0 && sector < oriel::g_nNorSectors, "an accepted address is a sector");
        FUZZ_CHECK(oriel::SectorOffset(sector) == offset, "the offset is the sector's start");
        FUZZ_CHECK(offset == ReferenceHex(address.substr(0, 16)) - oriel::kNorBusBase,
                   "the offset is the address less the bus base");
        FUZZ_CHECK(engine.m_nState == oriel::WAIT_SYNC, "an accepted address keeps the state");
    } else {
        FUZZ_CHECK(offset == 0xDEADBEEF && sector == -7, "a refused address gives nothing");
        FUZZ_CHECK(engine.m_nState == oriel::IDLE, "a refused address ends the operation");
    }

    // Offsets count 16-bit words on the bus: only even ones are asked about.
    const uint32_t even = probe & ~1u;
    const int32_t index = oriel::FindSectorByOffset(even);
    const int32_t nClass = oriel::GetSectorSizeClass(even);
    FUZZ_CHECK((index < 0) == (nClass == oriel::kSizeClassNone),
               "a size class exactly for sector starts");
    if (index >= 0) {
        FUZZ_CHECK(index < oriel::g_nNorSectors && oriel::SectorOffset(index) == even,
                   "the sector found starts there");
        const oriel::SectorWrite w = oriel::SectorWriteOfClass(nClass);
        FUZZ_CHECK(static_cast<uint32_t>(w.nChunks) * 2048u == oriel::SectorBytes(index),
                   "the sector command writes the whole sector");
    }

    std::vector<int32_t> sectors;
    std::string error;
    if (oriel::ParseSectorList(list, sectors, error)) {
        FUZZ_CHECK(!sectors.empty(), "a list names a sector");
        for (size_t i = 0; i < sectors.size(); ++i) {
            FUZZ_CHECK(sectors[i] >= 0 && sectors[i] < oriel::kNorSectorCount, "known sector");
            FUZZ_CHECK(i == 0 || sectors[i - 1] < sectors[i], "sorted, each once");
        }
        std::string again;
        for (const int32_t s : sectors) {
            again += (again.empty() ? "" : ",") + std::to_string(s);
        }
        std::vector<int32_t> reparsed;
        FUZZ_CHECK(oriel::ParseSectorList(again, reparsed, error) && reparsed == sectors,
                   "the list written out reads back the same");
    } else {
        FUZZ_CHECK(!error.empty(), "a refused list says why");
    }
    return 0;
}
