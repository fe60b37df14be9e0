// The transfer to RAM on the wire: packet addresses, lengths and sums for
// lengths that are and are not multiples of 1008, the progress, and what
// happens when the file or the port fails.
#include "fleet/pda/ram_transfer.h"

#include <gtest/gtest.h>

#include "fleet/images/image_file.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/slot_report.h"
#include "fleet/tools/mkimg.h"
#include "tests/fleet/pda/pda_wire.h"

namespace {

using namespace fleettest;

// Inside a function that returns a container: fail the test and return nothing.
#define ASSERT_TRUE_OR_EMPTY(c)  \
    do {                         \
        if (!(c)) {              \
            ADD_FAILURE() << #c; \
            return {};           \
        }                        \
    } while (0)

class RamTransferTest : public ::testing::Test {
  protected:
    // A file of `length` pattern bytes; the transfer covers [from, to).
    std::vector<Packet> Transfer(size_t length, int64_t from, int64_t to, fleet::StepResult& result,
                                 std::vector<Posted>& posted) {
        file.Close();
        bytes = fleet::PatternBytes(length, 11);
        ASSERT_TRUE_OR_EMPTY(file.Open(wire.dir.Write("image.nb0", bytes)));
        ASSERT_TRUE_OR_EMPTY(file.Seek(from) == from);
        CScriptedPda pda(wire.pty);
        fleet::CSlotReporter fresh(&sink, 2);  // no earlier progress to repeat
        result = fleet::TransferToRam(commands, fresh, file, to, 0x80100000);
        pda.Stop();
        posted = Drain(sink);
        return pda.Packets();
    }

    // The packets carry exactly bytes [from, to) of the file, in order.
    void ExpectCarries(const std::vector<Packet>& packets, size_t from, size_t to) {
        size_t at = from;
        for (size_t i = 0; i < packets.size(); ++i) {
            const Packet& p = packets[i];
            const uint32_t length = Le32(p.data() + 8);
            EXPECT_EQ(Le32(p.data()), 1u);
            EXPECT_EQ(Le32(p.data() + 4), 0x80100000u + (at - from)) << "packet " << i;
            ASSERT_LE(at + length, to) << "packet " << i << " reaches past the end";
            EXPECT_EQ(length, std::min<size_t>(1008, to - at)) << "packet " << i;
            EXPECT_EQ(Le32(p.data() + 12), Sum(p.data() + 16, length));
            EXPECT_TRUE(std::equal(p.begin() + 16, p.begin() + 16 + length, bytes.begin() + at));
            EXPECT_TRUE(
                std::all_of(p.begin() + 16 + length, p.end(), [](uint8_t b) { return b == 0; }));
            at += length;
        }
        EXPECT_EQ(at, to);
    }

    CPdaWire wire;
    fleet::CPdaCommands commands{wire.port};
    testsupport::CRecordingSink sink;
    fleet::CSlotReporter report{&sink, 2};
    fleet::CImageFile file;
    std::vector<uint8_t> bytes;
};

TEST_F(RamTransferTest, LengthsThatAreAndAreNotMultiplesOf1008) {
    struct Case {
        size_t fileLength;
        int64_t from;
        int64_t to;
        size_t packets;
    };
    // The file goes on past the end in most cases: those bytes are not sent.
    const Case cases[] = {{1, 0, 1, 1},       {1008, 0, 1008, 1},   {1009, 0, 1009, 2},
                          {5000, 0, 2500, 3}, {5000, 100, 4132, 4}, {0x30000 + 77, 0, 0x30000, 196},
                          {3024, 0, 3024, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.fileLength << " [" << c.from << ", " << c.to << ")");
        fleet::StepResult result;
        std::vector<Posted> posted;
        const auto packets = Transfer(c.fileLength, c.from, c.to, result, posted);
        EXPECT_TRUE(result.Ok());
        ASSERT_EQ(packets.size(), c.packets);
        ExpectCarries(packets, static_cast<size_t>(c.from), static_cast<size_t>(c.to));
        // 209 once per new percentage: packets x 100 / (length / 1008), at
        // least 1 in the divisor.
        const uint64_t total = std::max<uint64_t>(1, static_cast<uint64_t>(c.to - c.from) / 1008);
        std::vector<uint32_t> expected;
        for (uint64_t k = 1; k <= c.packets; ++k) {
            const uint32_t pct = static_cast<uint32_t>(k * 100 / total);
            if (expected.empty() || expected.back() != pct) {
                expected.push_back(pct);
            }
        }
        EXPECT_EQ(ArgumentsOf(posted, 209), expected);
        for (const Posted& p : posted) {
            EXPECT_EQ(p.nSlot, 2);
        }
    }
}

TEST_F(RamTransferTest, AFileThatEndsEarlyIsAReadErrorNotShortData) {
    fleet::StepResult result;
    std::vector<Posted> posted;
    const auto packets = Transfer(2100, 0, 0x30000, result, posted);
    EXPECT_EQ(result.nCode, 208u);
    EXPECT_EQ(result.nDetail, 1u) << "the image file";
    ASSERT_EQ(packets.size(), 3u) << "what the file held went out, then the transfer stopped";
    ExpectCarries(packets, 0, 2100);
}

TEST_F(RamTransferTest, APortThatStopsTakingPacketsFailsTheTransfer) {
    bytes = fleet::PatternBytes(10 * 1008, 3);
    ASSERT_TRUE(file.Open(wire.dir.Write("image.nb0", bytes)));
    wire.port.Close();
    EXPECT_EQ(fleet::TransferToRam(commands, report, file, 10 * 1008, 0x80100000).nCode, 217u);
    EXPECT_TRUE(ArgumentsOf(Drain(sink), 209).empty()) << "no progress for what was not sent";
}

}  // namespace
