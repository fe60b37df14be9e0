#include "oriel/boot/loader_images.h"

#include <algorithm>

#include "oriel/boot/customer_id_config.h"
#include "oriel/boot/images/loader_image_data.h"

namespace oriel {

LoaderImage PreloaderImage() {
    return {loader_data::kPreloader, kPreloaderSize};
}

bool PreloaderWord(int k, std::array<uint8_t, 4>& word) {
    if (k < 0 || k >= kPreloaderWords) {
        return false;
    }
    const uint8_t* p = loader_data::kPreloader + static_cast<std::size_t>(k) * 4;
    std::copy(p, p + 4, word.begin());
    return true;
}

LoaderImage BootloaderImage(bool bFast) {
    if (bFast) {
        return {loader_data::kFastBootloader, kFastBootloaderSize};
    }
    return {loader_data::kFullBootloader, kFullBootloaderSize};
}

std::array<uint8_t, 4> CustomerId() {
    // Built from four byte constants at run time, as the handset expects them.
    return {kCustomerIdByte0, kCustomerIdByte1, kCustomerIdByte2, kCustomerIdByte3};
}

}  // namespace oriel
