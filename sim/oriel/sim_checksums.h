#pragma once
// The handset's own checksums: the 8-bit sum it answers most steps with and
// the CRC-32 (IEEE 802.3, reflected, as zlib's crc32) it checks a download
// against. Kept apart from the host's so the two are checked against each
// other, not against themselves.

#include <cstddef>
#include <cstdint>

namespace orielsim {

uint8_t Sum8(const uint8_t* p, size_t n, uint8_t start = 0);
uint8_t Sum8OfWord(uint32_t value);  // the sum of a 4-byte value's bytes

// Running CRC-32: Crc32Update(0, ...) starts; results chain.
uint32_t Crc32Update(uint32_t crc, const uint8_t* p, size_t n);

}  // namespace orielsim
