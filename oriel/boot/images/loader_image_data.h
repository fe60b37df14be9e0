#pragma once
// Declarations of the embedded image arrays. The generated definitions
// include this header, so an image file of the wrong length fails to compile
// instead of shipping a short or long loader.

#include <cstdint>

#include "oriel/boot/loader_images.h"

namespace oriel::loader_data {

extern const std::uint8_t kPreloader[kPreloaderSize];
extern const std::uint8_t kFullBootloader[kFullBootloaderSize];
extern const std::uint8_t kFastBootloader[kFastBootloaderSize];

}  // namespace oriel::loader_data
