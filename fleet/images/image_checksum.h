#pragma once
// The image checksum the PDA side reports: a 32-bit wrap-around sum of the
// bytes taken as unsigned 8-bit values.

#include <cstddef>
#include <cstdint>

namespace fleet {

inline uint32_t ImageByteSum(const uint8_t* pData, size_t nLength, uint32_t nStart = 0) {
    uint32_t sum = nStart;
    for (size_t i = 0; i < nLength; ++i) {
        sum += pData[i];
    }
    return sum;
}

}  // namespace fleet
