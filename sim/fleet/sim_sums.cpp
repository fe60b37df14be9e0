#include "sim/fleet/sim_sums.h"

#include <array>

namespace fleetsim {

namespace {

constexpr std::array<uint16_t, 256> MakeFcsTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t v = i;
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1u) != 0 ? (v >> 1) ^ 0x8408u : v >> 1;
        }
        table[i] = static_cast<uint16_t>(v);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kFcsTable = MakeFcsTable();
static_assert(kFcsTable[1] == 0x1189, "FCS table built from the wrong polynomial");

}  // namespace

uint32_t ByteSum32(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        sum += p[i];
    }
    return sum;
}

uint16_t Fcs16(const uint8_t* p, size_t n) {
    uint16_t fcs = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        fcs = static_cast<uint16_t>((fcs >> 8) ^ kFcsTable[(fcs ^ p[i]) & 0xFFu]);
    }
    return static_cast<uint16_t>(fcs ^ 0xFFFFu);
}

}  // namespace fleetsim
