// The two 1024-byte packets of the PDA link, byte by byte, and the commands
// the profile chooses.
#include "fleet/pda/pda_packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "fleet/images/platform_profile.h"
#include "fleet/pda/pda_commands.h"

namespace {

bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

TEST(PdaCommandPacketTest, CodeAndArgumentsLittleEndianRestZero) {
    const fleet::PdaCommandPacket packet(fleet::PDA_PROGRAM, 0x80100000, 0x00030000, 0x9CA00000);
    const auto& b = packet.Bytes();
    ASSERT_EQ(b.size(), 1024u);
    const uint8_t head[16] = {0x04, 0,    0,    0,    0x00, 0x00, 0x10, 0x80,
                              0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0xA0, 0x9C};
    EXPECT_TRUE(std::equal(head, head + 16, b.begin()));
    EXPECT_TRUE(AllZero(b.data() + 16, 1008)) << "no payload outside PDA_WRITE_RAM";
}

TEST(PdaCommandPacketTest, WriteRamCarriesAddressLengthSumAndPayload) {
    std::vector<uint8_t> payload(1008);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(0xF0 + i);  // sums past 16 bits
    }
    const uint32_t sum = std::accumulate(payload.begin(), payload.end(), 0u);
    const auto full = fleet::PdaCommandPacket::WriteRam(0x800F0000, payload.data(), 1008);
    const uint8_t* b = full.Data();
    EXPECT_EQ(b[0], 1);
    EXPECT_TRUE(AllZero(b + 1, 3));
    EXPECT_EQ(b[4] | b[5] << 8 | b[6] << 16 | static_cast<uint32_t>(b[7]) << 24, 0x800F0000u);
    EXPECT_EQ(b[8] | b[9] << 8, 1008);
    EXPECT_EQ(b[12] | b[13] << 8 | b[14] << 16 | static_cast<uint32_t>(b[15]) << 24, sum);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), b + 16));

    // A short payload: its own length and sum, the rest of the packet zero.
    const auto shortOne = fleet::PdaCommandPacket::WriteRam(0x10, payload.data(), 3);
    EXPECT_EQ(shortOne.Data()[8], 3);
    EXPECT_EQ(shortOne.Data()[12] | shortOne.Data()[13] << 8, 0xF0 + 0xF1 + 0xF2);
    EXPECT_TRUE(AllZero(shortOne.Data() + 19, 1024 - 19));
}

TEST(BinStreamPacketTest, KindZerosSumAndPayload) {
    const uint8_t header[15] = {'B', '0', '0', '0', 'F', 'F', '\n', 0, 0, 0xA8, 0x9C, 9, 8, 7, 6};
    const fleet::BinStreamPacket packet(fleet::kBinKindImageHeader, header, sizeof header);
    const uint8_t* b = packet.Data();
    EXPECT_EQ(b[0], 15);
    EXPECT_EQ(b[1], 0);
    EXPECT_TRUE(AllZero(b + 2, 10));
    uint32_t sum = 0;
    for (uint8_t x : header) {
        sum += x;
    }
    EXPECT_EQ(b[12] | b[13] << 8 | b[14] << 16 | static_cast<uint32_t>(b[15]) << 24, sum);
    EXPECT_TRUE(std::equal(header, header + 15, b + 16));
    EXPECT_TRUE(AllZero(b + 31, 1024 - 31));

    std::vector<uint8_t> piece(1008, 0xFF);
    const fleet::BinStreamPacket full(fleet::kBinKindFullPiece, piece.data(), piece.size());
    EXPECT_EQ(full.Data()[0], 0x00);
    EXPECT_EQ(full.Data()[1], 0x04) << "1024, little-endian";
    EXPECT_EQ(fleet::GetLe32(full.Data() + 12), 1008u * 0xFF);
    const fleet::BinStreamPacket last(544, piece.data(), 544);
    EXPECT_EQ(last.Data()[0] | last.Data()[1] << 8, 544);
    EXPECT_TRUE(AllZero(last.Data() + 16 + 544, 1008 - 544));
}

TEST(PdaCommandSelectionTest, HandoverFollowsTheProfile) {
    fleet::PlatformProfile profile;
    EXPECT_EQ(fleet::HandoverCommand(profile), fleet::PDA_HANDOVER);
    profile.handOverVariant = 1;
    EXPECT_EQ(fleet::HandoverCommand(profile), fleet::PDA_HANDOVER_51);
    profile.launchVariant = 1;
    EXPECT_EQ(fleet::HandoverCommand(profile), fleet::PDA_HANDOVER_50)
        << "the launch variant wins over the hand-over variant";
    for (const fleet::PlatformProfile& row : fleet::BuildPlatformProfiles()) {
        EXPECT_EQ(fleet::HandoverCommand(row), 37u) << row.name;
    }
}

}  // namespace
