#include "oriel/engine/crc32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "oriel/engine/checksum.h"

namespace {

uint32_t CrcOf(const char* s) {
    return oriel::Crc32(reinterpret_cast<const uint8_t*>(s), std::strlen(s));
}

TEST(Crc32, KnownVectors) {
    EXPECT_EQ(CrcOf("123456789"), 0xCBF43926u);
    EXPECT_EQ(CrcOf(""), 0u);
    EXPECT_EQ(CrcOf("a"), 0xE8B7BE43u);
    EXPECT_EQ(CrcOf("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

TEST(Crc32, PiecewiseEqualsWholeAndFileEqualsBuffer) {
    std::vector<uint8_t> data(200003);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    }
    const uint32_t whole = oriel::Crc32(data.data(), data.size());
    uint32_t parts = 0;
    for (size_t off = 0; off < data.size(); off += 2048) {
        parts =
            oriel::Crc32Update(parts, data.data() + off, std::min<size_t>(2048, data.size() - off));
    }
    EXPECT_EQ(parts, whole);

    char path[] = "/tmp/oriel_crc_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* f = fdopen(fd, "wb");
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    std::fclose(f);
    uint32_t fileCrc = 0;
    ASSERT_TRUE(oriel::Crc32OfFile(path, fileCrc));
    EXPECT_EQ(fileCrc, whole);
    std::remove(path);
    EXPECT_FALSE(oriel::Crc32OfFile(path, fileCrc));
}

TEST(Checksum, SumsAndByteOrder) {
    const uint8_t four[] = {0x00, 0x00, 0x15, 0x68};
    EXPECT_EQ(oriel::Sum8(four, 4), 0x7D);
    EXPECT_EQ(oriel::Sum8OfBe32(5480), 0x7D);
    EXPECT_EQ(oriel::Sum8OfBe32(0x00B00000), 0xB0);
    EXPECT_EQ(oriel::Sum8OfBe32(0x00FF8000), 0x7F);  // wraps modulo 256
    EXPECT_EQ(oriel::Be32(0x10020000), (std::array<uint8_t, 4>{0x10, 0x02, 0x00, 0x00}));
    EXPECT_EQ(oriel::Le32(0x0C000000), (std::array<uint8_t, 4>{0x00, 0x00, 0x00, 0x0C}));
}

}  // namespace
