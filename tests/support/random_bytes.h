#pragma once
// Reproducible random bytes for test images.

#include <cstdint>
#include <random>
#include <vector>

namespace testsupport {

inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::vector<uint8_t> b(n);
    std::mt19937 rng(seed);
    for (uint8_t& x : b) {
        x = static_cast<uint8_t>(rng());
    }
    return b;
}

}  // namespace testsupport
