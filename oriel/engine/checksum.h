#pragma once
// The handset's reply checks: the 8-bit sum of the bytes a step covers, and
// big-endian 4-byte values as the boot-loader reads them.

#include <array>
#include <cstddef>
#include <cstdint>

namespace oriel {

inline uint8_t Sum8(const uint8_t* pData, size_t n, uint8_t bySeed = 0) {
    unsigned sum = bySeed;
    for (size_t i = 0; i < n; ++i) {
        sum += pData[i];
    }
    return static_cast<uint8_t>(sum);
}

inline std::array<uint8_t, 4> Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

inline std::array<uint8_t, 4> Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline uint8_t Sum8OfBe32(uint32_t v) {
    const auto b = Be32(v);
    return Sum8(b.data(), b.size());
}

}  // namespace oriel
