#pragma once
// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, init and final 0xFFFFFFFF): the
// whole-file check value the boot-loader compares against.

#include <cstddef>
#include <cstdint>
#include <string>

namespace oriel {

// Builds the 256-entry table; later calls do nothing. Thread-safe.
void BuildCrc32Table();

// Continues a CRC over more data: crc = Crc32Update(crc, ...), starting from 0.
uint32_t Crc32Update(uint32_t crc, const uint8_t* pData, size_t n);

inline uint32_t Crc32(const uint8_t* pData, size_t n) {
    return Crc32Update(0, pData, n);
}

// CRC-32 of a whole file, read in pieces. False when it cannot be opened or read.
bool Crc32OfFile(const std::string& strPath, uint32_t& crc);

}  // namespace oriel
