#pragma once
// The handset's 16 MB NOR flash as the boot-loader sees it: 134 erase sectors
// (4 x 32 KB, 126 x 128 KB, 4 x 32 KB), erased state 0xFF, programming that
// can only clear bits. Kept in memory or in a file that is written through
// (mapped shared), so another process can read it while or after the
// simulator runs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orielsim {

constexpr uint32_t kNorSize = 16u * 1024u * 1024u;
constexpr int kNorSectorCount = 134;

// The sector map, offsets from the flash base.
uint32_t NorSectorStart(int index);
uint32_t NorSectorSize(int index);
// The index of the sector that starts exactly at the offset, or -1.
int NorSectorAt(uint32_t offset);

class CNorFlash {
  public:
    CNorFlash() = default;
    ~CNorFlash();
    CNorFlash(const CNorFlash&) = delete;
    CNorFlash& operator=(const CNorFlash&) = delete;

    // An empty path keeps the NOR in memory. A missing or empty file is
    // created erased; a file of any other size than 16 MB is refused.
    bool Open(const std::string& strPath, std::string& error);
    void Close();
    bool IsOpen() const { return m_pData != nullptr; }

    void EraseSector(int index);
    // Programs bytes at the offset (cleared bits stay cleared, as on NOR).
    // Refuses a range outside the flash.
    bool Program(uint32_t offset, const uint8_t* p, size_t n);
    // Copies out up to n bytes from the offset (fewer at the end of flash).
    std::vector<uint8_t> Read(uint32_t offset, size_t n) const;
    const uint8_t* Data() const { return m_pData; }
    // Test set-up: stores the bytes as they are, without NOR semantics.
    bool Store(uint32_t offset, const uint8_t* p, size_t n);
    // Pushes a file-backed NOR to the disk.
    void Sync();

  private:
    uint8_t* m_pData = nullptr;
    bool m_bMapped = false;
    std::vector<uint8_t> m_memory;
};

}  // namespace orielsim
