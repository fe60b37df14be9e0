// The test-image builder: B000FF images have the record layout the PDA
// stream assumes, and the command line writes what the library builds.
#include "fleet/tools/mkimg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "fleet/images/image_checksum.h"
#include "tests/fleet/temp_dir.h"

namespace {

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(MkimgTest, B000ffRecordsAreHeaderPlus0x20200Bytes) {
    const auto image = fleet::BuildB000ffImage(2, 100, 9);
    ASSERT_EQ(image.size(), 15u + 2 * (12 + 0x20200) + 12 + 100);
    EXPECT_EQ(std::memcmp(image.data(), "B000FF\n", 7), 0);
    EXPECT_EQ(U32At(image, 11), 2u * 0x20200 + 100) << "image length";
    const size_t second = 15 + 12 + 0x20200;
    EXPECT_EQ(U32At(image, second), fleet::kB000ffImageStart + 0x20200);
    EXPECT_EQ(U32At(image, second + 4), 0x20200u);
    EXPECT_EQ(U32At(image, second + 8), fleet::ImageByteSum(&image[second + 12], 0x20200));
    const size_t last = second + 12 + 0x20200;
    EXPECT_EQ(U32At(image, last + 4), 100u);
}

TEST(MkimgTest, CommandLineWritesTheLibrarysBytes) {
    fleettest::CTempDir dir;
    const std::string out = dir.File("flat.nb0");
    const std::string command = std::string(FLEET_MKIMG_PATH) + " flat --out '" + out +
                                "' --size 2000 --zero-tail 1008 --seed 4 > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(fleettest::ReadAll(out), fleet::BuildFlatImage(2000, 1008, 4));
    EXPECT_NE(
        std::system(
            (std::string(FLEET_MKIMG_PATH) + " flat --out x --size lots 2>/dev/null").c_str()),
        0);
}

}  // namespace
