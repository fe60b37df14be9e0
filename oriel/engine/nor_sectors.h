#pragma once
// The NOR flash's erase sectors as every operation sees them: 134 sectors
// (4 x 32 KB, 126 x 128 KB, 4 x 32 KB) from bus address 0x10000000, their
// lookups, the sector-write command of each size, and the operator's NOR
// address text.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace oriel {

class CDownloaderEngine;

struct NOR_SECTOR {
    int32_t nIndex;
    int32_t nSizeWords;   // size in 16-bit words
    int32_t nStartWords;  // start from the flash base in 16-bit words
};

constexpr int32_t kNorSectorCount = 134;
constexpr uint32_t kNorBusBase = 0x10000000;
constexpr uint32_t kNorBusEnd = 0x18000000;  // first address past the NOR window
constexpr uint32_t kNorBytes = 0x1000000;    // the 16 MB the sector map covers

extern std::array<NOR_SECTOR, kNorSectorCount> g_NorSectors;
// Usable records: 0 until a supported flash is identified, then 134.
extern int32_t g_nNorSectors;
// 1 = the sector takes part in the next erase or dump.
extern std::array<int32_t, kNorSectorCount> g_abSectorSelected;

// Fills the table (idempotent); the flash identification then sets g_nNorSectors.
void BuildNorSectorMap();
inline uint32_t SectorOffset(int32_t i) {
    return 2u * static_cast<uint32_t>(g_NorSectors[static_cast<size_t>(i)].nStartWords);
}
inline uint32_t SectorBytes(int32_t i) {
    return 2u * static_cast<uint32_t>(g_NorSectors[static_cast<size_t>(i)].nSizeWords);
}

// The first selected sector at or above the index, or -1; and the selection's size.
int32_t NextSelectedSector(int32_t from);
int32_t SelectedKBytes();

// Index of the sector starting exactly at the byte offset, or -1.
int32_t FindSectorByOffset(uint32_t offset);

// Size class of the sector starting at the offset: 0 = 128 KB, 1 = 64 KB,
// 2 = 32 KB, 3 = 16 KB, 4 = any other size, 5 = no sector starts there.
int32_t GetSectorSizeClass(uint32_t offset);
constexpr int32_t kSizeClassNone = 5;
struct SectorWrite {
    uint8_t byCommand;
    int32_t nChunks;  // 2048-byte chunks per sector
};
// Command and chunk count of classes 0-4.
SectorWrite SectorWriteOfClass(int32_t nClass);

// Hex digits of the text (an optional 0x first) up to the first other
// character; only the last eight digits count; empty gives 0.
uint32_t ParseHexAddress(const std::string& text);

// An operator-entered start address: logs its findings on the engine and sets
// IDLE when it is refused. True with the offset and sector when accepted.
bool CheckNorAddress(CDownloaderEngine& engine, const std::string& text, uint32_t& offset,
                     int32_t& sector);

// The sector dialog's line for a sector: "004: 0x10020000 ~ 0x1003FFFF (128KBytes)".
std::string SectorLine(int32_t i);
std::vector<std::string> SectorLines();

// Sector lists as operators write them: "4", "2,5,133", "4-20", "0-3,130".
// False with a message for an unknown sector or a sector named twice.
bool ParseSectorList(const std::string& text, std::vector<int32_t>& sectors, std::string& error);

}  // namespace oriel
