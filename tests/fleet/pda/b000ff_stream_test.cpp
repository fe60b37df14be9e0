// B000FF images: the part plan for images of one part, of several, and of
// sizes around the part boundaries; the stream packets as the device sees
// them (kinds, lengths, sums, pacing of the records), reassembled byte for
// byte; a part the file does not hold whole, and a file cut mid-stream.
#include "fleet/pda/b000ff_stream.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "fleet/images/image_file.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/tools/mkimg.h"
#include "tests/fleet/pda/pda_wire.h"

namespace {

using namespace fleettest;
using fleet::B000ffPart;
using fleet::kBinFirstPartSize;
using fleet::kBinPartSize;

std::vector<uint32_t> Codes(const std::vector<B000ffPart>& parts) {
    std::vector<uint32_t> out;
    for (const B000ffPart& p : parts) {
        out.push_back(p.nProgressCode);
    }
    return out;
}

TEST(B000ffPlanTest, PartSizesAreTheProtocols) {
    EXPECT_EQ(kBinFirstPartSize, 26319215u);
    EXPECT_EQ(kBinPartSize, 26319200u);
    EXPECT_EQ(fleet::kBinRecordSize, 0x2020Cu);
}

TEST(B000ffPlanTest, AnImageOfExactlyOnePartIsOnePart) {
    const auto parts = fleet::PlanB000ffParts(15 + 200 * 131596);
    ASSERT_EQ(parts.size(), 1u) << "no middle part and no empty last part";
    EXPECT_EQ(parts[0].nOffset, 0u);
    EXPECT_EQ(parts[0].nLength, kBinFirstPartSize);
    EXPECT_EQ(parts[0].nProgressCode, 316u);

    const auto small = fleet::PlanB000ffParts(15 + 12 + 100);
    ASSERT_EQ(small.size(), 1u);
    EXPECT_EQ(small[0].nLength, 127u) << "never past the image";
    EXPECT_TRUE(fleet::PlanB000ffParts(0).empty());
}

TEST(B000ffPlanTest, MultiPartImagesCoverTheImageOnceInOrder) {
    struct Case {
        uint64_t size;
        std::vector<uint32_t> codes;
    };
    const Case cases[] = {
        {kBinFirstPartSize + 1, {316, 321}},
        {kBinFirstPartSize + 12 + 5000, {316, 321}},
        {kBinFirstPartSize + kBinPartSize, {316, 317}},
        {kBinFirstPartSize + 2 * kBinPartSize + 1, {316, 317, 318, 321}},
        {kBinFirstPartSize + 6 * kBinPartSize + 77, {316, 317, 318, 319, 320, 215, 215, 321}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const auto parts = fleet::PlanB000ffParts(c.size);
        EXPECT_EQ(Codes(parts), c.codes);
        uint64_t at = 0;
        for (size_t i = 0; i < parts.size(); ++i) {
            EXPECT_EQ(parts[i].nOffset, at);
            EXPECT_GT(parts[i].nLength, 0u);
            if (i > 0 && i + 1 < parts.size()) {
                EXPECT_EQ(parts[i].nLength, kBinPartSize);
            }
            at += parts[i].nLength;
        }
        EXPECT_EQ(at, c.size);
    }
}

// What the device makes of the packets: the image bytes, after checking
// every packet's shape.
class CStreamDecoder {
  public:
    void Take(const Packet& p, bool bExpectImageHeader) {
        const uint16_t kind = static_cast<uint16_t>(p[0] | p[1] << 8);
        EXPECT_TRUE(std::all_of(p.begin() + 2, p.begin() + 12, [](uint8_t b) { return b == 0; }));
        size_t n = 0;
        if (bExpectImageHeader && m_nPackets == 0) {
            EXPECT_EQ(kind, 15);
            n = 15;
        } else if (!m_bInRecord) {
            EXPECT_EQ(kind, 12) << "packet " << m_nPackets << ": a record header expected";
            n = 12;
            m_bInRecord = true;
            m_nRecordData = 0;
        } else if (kind == 1024) {
            n = 1008;
        } else {
            EXPECT_GE(kind, 1);
            EXPECT_LE(kind, 1008);
            n = kind;
            m_bInRecord = false;
        }
        EXPECT_EQ(Le32(p.data() + 12), Sum(p.data() + 16, n)) << "packet " << m_nPackets;
        EXPECT_TRUE(std::all_of(p.begin() + 16 + n, p.end(), [](uint8_t b) { return b == 0; }));
        if (kind != 12 && kind != 15) {
            m_nRecordData += n;
            EXPECT_LE(m_nRecordData, 0x20200u);
        }
        bytes.insert(bytes.end(), p.begin() + 16, p.begin() + 16 + n);
        ++m_nPackets;
    }
    std::vector<uint8_t> bytes;

  private:
    size_t m_nPackets = 0;
    bool m_bInRecord = false;
    size_t m_nRecordData = 0;
};

class B000ffStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { fleet::SetPauseScale(0); }
    void TearDown() override { fleet::SetPauseScale(1.0); }

    CPdaWire wire;
    fleet::CPdaCommands commands{wire.port};
    testsupport::CRecordingSink sink;
    fleet::CSlotReporter report{&sink, 0};
};

TEST_F(B000ffStreamTest, OnePartReassemblesToTheImage) {
    const std::vector<uint8_t> image = fleet::BuildB000ffImage(3, 5000, 7);
    CScriptedPda pda(wire.pty);
    const fleet::StepResult result =
        fleet::StreamB000ffPart(commands, report, image.data(), image.size(), true, 316);
    pda.Stop();
    EXPECT_TRUE(result.Ok());
    const auto packets = pda.Packets();
    // Header, then per full record 1 + 130 + 1 packets, then the short one:
    // 12-byte header, 4 full pieces, 968 bytes.
    EXPECT_EQ(packets.size(), 1u + 3 * 132 + 1 + 4 + 1);
    CStreamDecoder device;
    for (const Packet& p : packets) {
        device.Take(p, true);
    }
    EXPECT_EQ(device.bytes, image);
    EXPECT_EQ(Le32(packets.back().data()) & 0xFFFF, 5000u - 4 * 1008);

    const auto progress = ArgumentsOf(Drain(sink), 316);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(),
              static_cast<uint32_t>(15 * 100.0 / static_cast<double>(image.size())));
    EXPECT_EQ(progress.back(), 100u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

TEST_F(B000ffStreamTest, APartEndingInsideARecordEndsWithItsLastPiece) {
    std::vector<uint8_t> image = fleet::BuildB000ffImage(1, 0, 3);
    image.resize(15 + 12 + 3000);  // cut inside the record's data
    CScriptedPda pda(wire.pty);
    EXPECT_TRUE(
        fleet::StreamB000ffPart(commands, report, image.data(), image.size(), true, 316).Ok());
    pda.Stop();
    const auto packets = pda.Packets();
    ASSERT_EQ(packets.size(), 5u);
    const uint16_t kinds[] = {15, 12, 1024, 1024, 984};
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i][0] | packets[i][1] << 8, kinds[i]) << i;
    }

    // An image that ends right after a record header: that header is the
    // last packet, no empty packet follows.
    std::vector<uint8_t> endRecord = fleet::BuildB000ffImage(1, 0, 3);
    endRecord.insert(endRecord.end(), 12, 0);
    CScriptedPda pda2(wire.pty);
    EXPECT_TRUE(
        fleet::StreamB000ffPart(commands, report, endRecord.data(), endRecord.size(), true, 316)
            .Ok());
    pda2.Stop();
    const auto packets2 = pda2.Packets();
    ASSERT_EQ(packets2.size(), 1u + 132 + 1);
    EXPECT_EQ(packets2.back()[0], 12);
}

TEST_F(B000ffStreamTest, MultiPartImageFromItsFile) {
    // 201 full records and a short one: the first part and a last part.
    const std::vector<uint8_t> image = fleet::BuildB000ffImage(201, 3000, 9);
    const auto parts = fleet::PlanB000ffParts(image.size());
    ASSERT_EQ(Codes(parts), (std::vector<uint32_t>{316, 321}));
    std::vector<uint8_t> file(4096 + image.size() + 40, 0xDD);  // the image inside a bigger file
    std::fill_n(file.begin(), 4096, uint8_t{0xEE});
    std::copy(image.begin(), image.end(), file.begin() + 4096);
    fleet::CImageFile f;
    ASSERT_TRUE(f.Open(wire.dir.Write("container", file)));

    CScriptedPda pda(wire.pty);
    EXPECT_TRUE(fleet::StreamB000ffImage(commands, report, f, 4096, parts).Ok());
    pda.Stop(200ms);
    const auto packets = pda.Packets();
    CStreamDecoder device;
    const size_t firstPartPackets = 1 + 200 * 132;
    ASSERT_GT(packets.size(), firstPartPackets);
    for (size_t i = 0; i < packets.size(); ++i) {
        // Only the first part starts with the image header.
        if (i == firstPartPackets) {
            EXPECT_EQ(packets[i][0], 12);
        }
        device.Take(packets[i], true);
    }
    EXPECT_EQ(device.bytes, image);
    const auto posted = Drain(sink);
    EXPECT_EQ(ArgumentsOf(posted, 316).back(), 100u);
    EXPECT_EQ(ArgumentsOf(posted, 321).back(), 100u);
}

TEST_F(B000ffStreamTest, APartThatCannotBeReadWholeIsNeverStreamed) {
    // The plan is for a bigger image than the file holds: the last part is short.
    const std::vector<uint8_t> image = fleet::BuildB000ffImage(200, 0, 5);
    std::vector<uint8_t> truncated = image;
    truncated.insert(truncated.end(), 1000, 0x42);
    fleet::CImageFile f;
    ASSERT_TRUE(f.Open(wire.dir.Write("short.bin", truncated)));
    const auto parts = fleet::PlanB000ffParts(image.size() + 131596);
    ASSERT_EQ(parts.size(), 2u);

    CScriptedPda pda(wire.pty);
    const fleet::StepResult result = fleet::StreamB000ffImage(commands, report, f, 0, parts);
    pda.Stop(200ms);
    EXPECT_EQ(result.nCode, 208u);
    EXPECT_EQ(result.nDetail, 1u);
    EXPECT_EQ(pda.Count(), 1u + 200 * 132) << "part 1 went out; nothing of the part not read";
    EXPECT_TRUE(ArgumentsOf(Drain(sink), 321).empty());
}

TEST_F(B000ffStreamTest, AFileCutWhileStreamingEndsWithTheBytesItHeld) {
    // One part of 40 records is read through the window in pieces; the file
    // is cut to 100 KB once the handset has 2000 packets (about 2 MB).
    const std::vector<uint8_t> image = fleet::BuildB000ffImage(40, 0, 11);
    const std::string path = wire.dir.Write("cut.bin", image);
    fleet::CImageFile f;
    ASSERT_TRUE(f.Open(path));
    const auto parts = fleet::PlanB000ffParts(image.size());
    ASSERT_EQ(parts.size(), 1u);

    CScriptedPda pda(wire.pty, [&](const Packet&, size_t nIndex) {
        if (nIndex == 2000) {
            std::filesystem::resize_file(path, 100000);
        }
        return std::vector<uint8_t>{};
    });
    const fleet::StepResult result = fleet::StreamB000ffImage(commands, report, f, 0, parts);
    pda.Stop(200ms);
    EXPECT_EQ(result.nCode, 208u);
    EXPECT_EQ(result.nDetail, 1u);
    const auto packets = pda.Packets();
    EXPECT_GT(packets.size(), 2000u);
    EXPECT_LT(packets.size(), 1u + 40 * 132);
    CStreamDecoder device;
    for (const Packet& p : packets) {
        device.Take(p, true);
    }
    ASSERT_LE(device.bytes.size(), image.size());
    EXPECT_TRUE(std::equal(device.bytes.begin(), device.bytes.end(), image.begin()))
        << "only the file's own bytes went out";
}

TEST_F(B000ffStreamTest, AWriteFailureIs217) {
    const std::vector<uint8_t> image = fleet::BuildB000ffImage(1, 0, 1);
    wire.port.Close();
    const fleet::StepResult result =
        fleet::StreamB000ffPart(commands, report, image.data(), image.size(), true, 316);
    EXPECT_EQ(result.nCode, 217u);
}

}  // namespace
