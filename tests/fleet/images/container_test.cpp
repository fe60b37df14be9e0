// The container at the end of the program file: trailer layout, the profile
// index, region bounds and the data-end scan.
#include "fleet/images/container.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fleet/images/image_file.h"
#include "fleet/images/program_file.h"
#include "tests/fleet/temp_dir.h"

namespace {

using fleet::CImageFile;
using fleet::ContainerTrailer;

std::vector<uint8_t> WithTrailer(std::vector<uint8_t> body, const ContainerTrailer& t) {
    const auto trailer = fleet::EncodeContainerTrailer(t);
    body.insert(body.end(), trailer.begin(), trailer.end());
    return body;
}

ContainerTrailer SampleTrailer() {
    ContainerTrailer t;
    t.magic = fleet::kContainerMagic;
    t.ebootOffset = 0x21000;
    t.ebootSize = 0x30000;
    t.pdaOffset = 0x51000;
    t.pdaSize = 0x1234567;
    t.unread = {0, 0, 0x1285567, 0};
    t.profileIndex = 2;
    return t;
}

TEST(ContainerTrailerTest, LayoutIsLittleEndianWithMagicBytesFirst) {
    const auto bytes = fleet::EncodeContainerTrailer(SampleTrailer());
    ASSERT_EQ(bytes.size(), 40u);
    EXPECT_EQ(std::memcmp(bytes.data(), "IDJB", 4), 0);
    EXPECT_EQ(bytes[4], 0x00);
    EXPECT_EQ(bytes[5], 0x10);
    EXPECT_EQ(bytes[6], 0x02);
    EXPECT_EQ(bytes[16], 0x67);  // pdaSize, low byte first
    EXPECT_EQ(bytes[19], 0x01);
    EXPECT_EQ(bytes[28], 0x67);  // third unread word
    EXPECT_EQ(bytes[36], 2);     // profile index
    EXPECT_EQ(bytes[39], 0);

    uint8_t first36[fleet::kContainerTrailerReadSize];
    std::memcpy(first36, bytes.data(), sizeof first36);
    const ContainerTrailer back = fleet::DecodeContainerTrailer(first36);
    EXPECT_TRUE(back.HasMagic());
    EXPECT_EQ(back.ebootOffset, 0x21000u);
    EXPECT_EQ(back.ebootSize, 0x30000u);
    EXPECT_EQ(back.pdaOffset, 0x51000u);
    EXPECT_EQ(back.pdaSize, 0x1234567u);
    EXPECT_EQ(back.unread[2], 0x1285567u);
    EXPECT_EQ(back.profileIndex, 0u) << "the index is read on its own, not with the 36 bytes";
}

TEST(ContainerTrailerTest, ReadsTrailerAndProfileIndexFromTheFileEnd) {
    fleettest::CTempDir dir;
    const std::string path =
        dir.Write("prog", WithTrailer(fleet::PatternBytes(3000, 1), SampleTrailer()));
    CImageFile file;
    ASSERT_TRUE(file.Open(path));
    ContainerTrailer t;
    ASSERT_TRUE(fleet::ReadContainerTrailer(file, t));
    EXPECT_TRUE(t.HasMagic());
    EXPECT_EQ(t.pdaSize, 0x1234567u);
    uint32_t index = 99;
    ASSERT_TRUE(fleet::ReadContainerProfileIndex(path, index));
    EXPECT_EQ(index, 2u);
}

TEST(ContainerTrailerTest, ShortOrMissingFilesReadNothing) {
    fleettest::CTempDir dir;
    CImageFile file;
    ContainerTrailer t;
    ASSERT_TRUE(file.Open(dir.Write("short", std::vector<uint8_t>(39, 0x41))));
    EXPECT_FALSE(fleet::ReadContainerTrailer(file, t));

    uint32_t index = 7;
    EXPECT_FALSE(fleet::ReadContainerProfileIndex(dir.Write("three", {1, 2, 3}), index));
    EXPECT_FALSE(fleet::ReadContainerProfileIndex(dir.File("missing"), index));
    EXPECT_FALSE(fleet::ReadContainerProfileIndex(dir.Path(), index))
        << "a folder is no program file";
    EXPECT_EQ(index, 7u);

    // Exactly a trailer and nothing else is still a readable (if odd) file.
    ASSERT_TRUE(file.Open(dir.Write("bare", WithTrailer({}, SampleTrailer()))));
    EXPECT_TRUE(fleet::ReadContainerTrailer(file, t));
}

TEST(ContainerTrailerTest, RegionsMustLieBeforeTheTrailer) {
    ContainerTrailer t = SampleTrailer();
    std::string why;
    const uint64_t length = uint64_t{t.pdaOffset} + t.pdaSize + 40;
    EXPECT_TRUE(fleet::CheckContainerRegions(t, length, why)) << why;
    EXPECT_FALSE(fleet::CheckContainerRegions(t, length - 1, why));
    EXPECT_NE(why.find("PDA"), std::string::npos);

    t.ebootOffset = 0xFFFFFFF0;  // offset + size wraps in 32 bits
    t.ebootSize = 0x20;
    EXPECT_FALSE(fleet::CheckContainerRegions(t, length, why));
    EXPECT_NE(why.find("EBOOT"), std::string::npos);

    t.ebootSize = 0;  // no EBOOT: its offset does not matter
    EXPECT_TRUE(fleet::CheckContainerRegions(t, length, why));
    EXPECT_FALSE(fleet::CheckContainerRegions(t, 39, why));
}

class RegionScanTest : public ::testing::Test {
  protected:
    int64_t DataEnd(const std::vector<uint8_t>& bytes, uint64_t start, uint64_t end) {
        EXPECT_TRUE(file.Open(dir.Write("region", bytes)));
        return fleet::FindRegionDataEnd(file, start, end);
    }
    fleettest::CTempDir dir;
    CImageFile file;
};

TEST_F(RegionScanTest, WholeZeroBlocksAtTheEndAreNotData) {
    const uint64_t base = 100;  // the region starts inside the file, as in a container
    std::vector<uint8_t> bytes(base, 0xEE);
    const auto region = fleet::BuildFlatImage(5 * 1008 + 17, 3 * 1008, 4);
    bytes.insert(bytes.end(), region.begin(), region.end());
    // Data runs into the sixth block; blocks 7-9 are zero.
    EXPECT_EQ(DataEnd(bytes, base, base + region.size()), static_cast<int64_t>(base + 6 * 1008));
}

TEST_F(RegionScanTest, ANonZeroLastByteOfABlockCounts) {
    std::vector<uint8_t> bytes(4 * 1008, 0);
    bytes[2 * 1008 - 1] = 1;
    EXPECT_EQ(DataEnd(bytes, 0, bytes.size()), 2 * 1008);
    bytes.assign(4 * 1008, 0);
    EXPECT_EQ(DataEnd(bytes, 0, bytes.size()), 0) << "no data at all: the region is empty";
}

TEST_F(RegionScanTest, TheLastReadStopsAtTheRegionEndNotInTheTrailer) {
    // A region whose length is no multiple of 1008, followed directly by the
    // (non-zero) trailer: the scan must not take trailer bytes for image data.
    std::vector<uint8_t> bytes = fleet::BuildFlatImage(1000, 1500, 8);
    const uint64_t regionEnd = bytes.size();
    bytes = WithTrailer(bytes, SampleTrailer());
    EXPECT_EQ(DataEnd(bytes, 0, regionEnd), 1008);
    EXPECT_LE(file.Position(), static_cast<int64_t>(regionEnd));
}

TEST_F(RegionScanTest, ARegionPastTheFileEndStopsAtTheEnd) {
    const auto bytes = fleet::BuildFlatImage(2100, 0, 5);
    EXPECT_EQ(DataEnd(bytes, 0, 1u << 30), static_cast<int64_t>(bytes.size()));
}

TEST_F(RegionScanTest, OnlyTheExactSignatureMarksTheBinFormat) {
    std::vector<uint8_t> bytes(50, 0x55);
    std::memcpy(&bytes[20], "B000FF\n", 7);
    ASSERT_TRUE(file.Open(dir.Write("bin", bytes)));
    EXPECT_TRUE(fleet::IsB000ffRegion(file, 20));
    EXPECT_EQ(file.Position(), 20) << "the caller reads the region from its start";
    EXPECT_FALSE(fleet::IsB000ffRegion(file, 21));
    bytes[26] = '\r';
    ASSERT_TRUE(file.Open(dir.Write("bin2", bytes)));
    EXPECT_FALSE(fleet::IsB000ffRegion(file, 20));
    EXPECT_FALSE(fleet::IsB000ffRegion(file, 46)) << "fewer than 7 bytes left";
}

TEST(ProgramFileTest, TheRunningProgramIsReadable) {
    EXPECT_EQ(fleet::ProgramBaseName(), "fleet_images_tests");
    CImageFile self;
    ASSERT_TRUE(self.Open(fleet::ProgramFilePath()));
    EXPECT_GT(self.Length(), 40);
    uint32_t index = 0;
    EXPECT_TRUE(fleet::ReadContainerProfileIndex(fleet::ProgramFilePath(), index));
}

}  // namespace
