#pragma once
// The three device programs the downloader loads into the handset before any
// flash operation. They are constant data of the program (embedded at build
// time); the host never interprets them, it only sends their bytes and sums
// them.

#include <array>
#include <cstddef>
#include <cstdint>

namespace oriel {

constexpr std::size_t kPreloaderSize = 1860;  // 465 words of 4 bytes
constexpr int kPreloaderWords = 465;
constexpr std::size_t kFullBootloaderSize = 318508;
constexpr std::size_t kFastBootloaderSize = 5480;

static_assert(kPreloaderSize == static_cast<std::size_t>(kPreloaderWords) * 4);

struct LoaderImage {
    const uint8_t* pData;
    std::size_t nLength;
};

// The pre-loader the boot ROM copies into SCRAM at 0x0C000000.
LoaderImage PreloaderImage();

// Word k of the pre-loader: bytes 4k..4k+3 in image order. False (and the
// word untouched) for k outside 0..464.
bool PreloaderWord(int k, std::array<uint8_t, 4>& word);

// The boot-loader the pre-loader copies into RAM at 0x18000000: the fast
// variant (5480 bytes) or the full one (318508 bytes).
LoaderImage BootloaderImage(bool bFast);

// The configured customer ID, in the order its bytes are sent.
std::array<uint8_t, 4> CustomerId();

}  // namespace oriel
