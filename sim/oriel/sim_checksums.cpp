#include "sim/oriel/sim_checksums.h"

#include <array>

namespace orielsim {

namespace {

// Reflected table of the generator polynomial 0x04C11DB7 (0xEDB88320 reversed).
constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint8_t Sum8(const uint8_t* p, size_t n, uint8_t start) {
    unsigned sum = start;
    for (size_t i = 0; i < n; ++i) {
        sum += p[i];
    }
    return static_cast<uint8_t>(sum & 0xFFu);
}

uint8_t Sum8OfWord(uint32_t value) {
    return static_cast<uint8_t>(((value >> 24) + (value >> 16) + (value >> 8) + value) & 0xFFu);
}

uint32_t Crc32Update(uint32_t crc, const uint8_t* p, size_t n) {
    uint32_t c = ~crc;
    for (size_t i = 0; i < n; ++i) {
        c = kCrcTable[(c ^ p[i]) & 0xFFu] ^ (c >> 8);
    }
    return ~c;
}

}  // namespace orielsim
