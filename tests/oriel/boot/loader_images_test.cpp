#include "oriel/boot/loader_images.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Bytes(oriel::LoaderImage image) {
    return {image.pData, image.pData + image.nLength};
}

// Block lengths as the pre-loader transfer cuts them: 2048 until the rest.
std::vector<size_t> Blocks(size_t nLength) {
    std::vector<size_t> out;
    while (nLength > 0) {
        const size_t n = nLength < 2048 ? nLength : 2048;
        out.push_back(n);
        nLength -= n;
    }
    return out;
}

TEST(LoaderImagesPreloader, HasTheFixedSize) {
    const oriel::LoaderImage image = oriel::PreloaderImage();
    ASSERT_NE(image.pData, nullptr);
    EXPECT_EQ(image.nLength, 1860u);
    EXPECT_EQ(oriel::kPreloaderSize, 1860u);
    EXPECT_EQ(oriel::kPreloaderWords, 465);
}

TEST(LoaderImagesPreloader, YieldsExactly465WordsThatConcatenateToTheImage) {
    std::vector<uint8_t> joined;
    std::array<uint8_t, 4> word{};
    int k = 0;
    while (oriel::PreloaderWord(k, word)) {
        joined.insert(joined.end(), word.begin(), word.end());
        ++k;
    }
    EXPECT_EQ(k, 465);
    EXPECT_EQ(joined, Bytes(oriel::PreloaderImage()));
}

TEST(LoaderImagesPreloader, RefusesWordsOutsideTheImageAndLeavesTheBufferAlone) {
    std::array<uint8_t, 4> word{0xA1, 0xA2, 0xA3, 0xA4};
    const std::array<uint8_t, 4> untouched = word;
    EXPECT_FALSE(oriel::PreloaderWord(465, word));
    EXPECT_FALSE(oriel::PreloaderWord(-1, word));
    EXPECT_FALSE(oriel::PreloaderWord(1 << 30, word));
    EXPECT_EQ(word, untouched);
    ASSERT_TRUE(oriel::PreloaderWord(464, word));
    const oriel::LoaderImage image = oriel::PreloaderImage();
    EXPECT_EQ(word[0], image.pData[1856]);
    EXPECT_EQ(word[3], image.pData[1859]);
}

TEST(LoaderImagesBootloader, FastAndFullHaveTheirLengths) {
    EXPECT_EQ(oriel::BootloaderImage(true).nLength, 5480u);
    EXPECT_EQ(oriel::BootloaderImage(false).nLength, 318508u);
    EXPECT_EQ(oriel::kFastBootloaderSize, 5480u);
    EXPECT_EQ(oriel::kFullBootloaderSize, 318508u);
    EXPECT_NE(oriel::BootloaderImage(true).pData, oriel::BootloaderImage(false).pData);
}

TEST(LoaderImagesBootloader, SplitIntoBlocksLikeTheTransfer) {
    EXPECT_EQ(Blocks(oriel::BootloaderImage(true).nLength), (std::vector<size_t>{2048, 2048, 1384}));
    const std::vector<size_t> full = Blocks(oriel::BootloaderImage(false).nLength);
    ASSERT_EQ(full.size(), 156u);
    for (size_t i = 0; i < 155; ++i) {
        ASSERT_EQ(full[i], 2048u) << "block " << i;
    }
    EXPECT_EQ(full.back(), 1068u);
}

TEST(LoaderImagesContent, MatchesTheFilesItWasBuiltFrom) {
    EXPECT_EQ(Bytes(oriel::PreloaderImage()), ReadFile(ORIEL_TEST_PRELOADER_FILE));
    EXPECT_EQ(Bytes(oriel::BootloaderImage(false)), ReadFile(ORIEL_TEST_FULL_BOOTLOADER_FILE));
    EXPECT_EQ(Bytes(oriel::BootloaderImage(true)), ReadFile(ORIEL_TEST_FAST_BOOTLOADER_FILE));
}

// A uniform image would let a corrupted byte slip through a sum unnoticed in
// tests; the images in use must vary.
TEST(LoaderImagesContent, IsNotUniform) {
    for (const oriel::LoaderImage image : {oriel::PreloaderImage(), oriel::BootloaderImage(true),
                                           oriel::BootloaderImage(false)}) {
        const std::set<uint8_t> distinct(image.pData, image.pData + image.nLength);
        EXPECT_GT(distinct.size(), 64u) << "image of " << image.nLength << " bytes";
    }
}

TEST(LoaderImagesCustomerId, MatchesTheConfiguredValueInSendOrder) {
    const std::string hex = ORIEL_TEST_CUSTOMER_ID;
    ASSERT_EQ(hex.size(), 8u);
    const std::array<uint8_t, 4> id = oriel::CustomerId();
    for (size_t i = 0; i < 4; ++i) {
        const auto want =
            static_cast<uint8_t>(std::strtoul(hex.substr(i * 2, 2).c_str(), nullptr, 16));
        EXPECT_EQ(id[i], want) << "byte " << i;
    }
}

}  // namespace
