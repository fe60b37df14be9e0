// The PDA commands on the wire with the test as the handset: which commands
// the opened flag holds back, how replies are read (whole, split, missing),
// the checksum verification and the programming acknowledgements.
#include "fleet/pda/pda_commands.h"

#include <gtest/gtest.h>

#include "fleet/pda/flash_acks.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/transport/slot_messages.h"
#include "tests/fleet/pda/pda_wire.h"

namespace {

using namespace fleettest;
using fleet::PdaSend;

class PdaCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override { fleet::SetPauseScale(0.001); }
    void TearDown() override { fleet::SetPauseScale(1.0); }
    std::vector<uint8_t> Word(uint32_t v) {
        return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    }

    CPdaWire wire;
    fleet::CPdaCommands commands{wire.port};
};

TEST_F(PdaCommandsTest, OpenedFlagHoldsBackOnlyTheFlashCommands) {
    fleet::UsbDevicePort never;  // no enumeration has run: the flag is clear
    fleet::CPdaCommands closed(never);
    EXPECT_EQ(closed.Launch(1), PdaSend::NotOpen);
    EXPECT_EQ(closed.Program(1, 2, 3), PdaSend::NotOpen);
    EXPECT_EQ(closed.Erase(1, 2), PdaSend::NotOpen);
    EXPECT_EQ(closed.ProgramRaw(1, 2, 3), PdaSend::NotOpen);
    EXPECT_EQ(closed.ProgramBin(1, 2, 3), PdaSend::NotOpen);
    EXPECT_EQ(closed.BacklightOff(), PdaSend::NotOpen);
    EXPECT_EQ(closed.Finish(1), PdaSend::NotOpen);
    uint32_t device = 7;
    EXPECT_EQ(closed.VerifyChecksum(1, 2, 3, device), fleet::ChecksumResult::NotSent);
    EXPECT_EQ(closed.CheckSignature(1, 2), 0u);
    // The others are sent regardless; on a port that is not open that fails.
    EXPECT_EQ(closed.SwitchPrepare(), PdaSend::WriteFailed);
    EXPECT_EQ(closed.Attached(), PdaSend::WriteFailed);
    EXPECT_EQ(closed.Handover(37, 1), PdaSend::WriteFailed);
    EXPECT_EQ(closed.WriteRam(1, nullptr, 0), PdaSend::WriteFailed);
}

TEST_F(PdaCommandsTest, EachCommandIsOnePacketWithItsArguments) {
    CScriptedPda pda(wire.pty, [&](const Packet& p, size_t) -> std::vector<uint8_t> {
        const uint32_t code = Le32(p.data());
        if (code == 6 || code == 11 || code == 36 || code == 37 || code == 15) {
            return Word(code);
        }
        return {};
    });
    EXPECT_EQ(commands.Launch(0x9CA80000), PdaSend::Sent);
    EXPECT_EQ(commands.Program(0x80100000, 0x30000, 0x9CA00000), PdaSend::Sent);
    EXPECT_EQ(commands.Erase(0x9CA80000, 4096), PdaSend::Sent);
    EXPECT_EQ(commands.SwitchPrepare(), PdaSend::Sent);
    EXPECT_EQ(commands.ProgramRaw(0x80100000, 123456, 0x9CA00000), PdaSend::Sent);
    EXPECT_EQ(commands.Attached(), PdaSend::Sent);
    EXPECT_EQ(commands.ProgramBin(0x80100000, 654321, 0x9CA00000), PdaSend::Sent);
    EXPECT_EQ(commands.BacklightOff(), PdaSend::Sent);
    EXPECT_EQ(commands.Handover(51, 0x9CA80000), PdaSend::Sent);
    EXPECT_EQ(commands.Finish(0x9CA80000), PdaSend::Sent);
    EXPECT_EQ(commands.SwitchToPhone(0x9CA80000), PdaSend::Sent);
    EXPECT_FALSE(wire.port.IsOpen()) << "the switch hands the USB connection to the modem";
    EXPECT_EQ(wire.port.OpenedFlag(), 0);
    pda.Stop();

    const std::vector<std::array<uint32_t, 4>> expected = {{2, 0x9CA80000, 0, 0},
                                                           {4, 0x80100000, 0x30000, 0x9CA00000},
                                                           {6, 0x9CA80000, 4096, 0},
                                                           {11, 0, 0, 0},
                                                           {12, 0x80100000, 123456, 0x9CA00000},
                                                           {13, 0, 0, 0},
                                                           {16, 0x80100000, 654321, 0x9CA00000},
                                                           {36, 0, 0, 0},
                                                           {51, 0x9CA80000, 0, 0},
                                                           {99, 0x9CA80000, 0, 0},
                                                           {15, 0x9CA80000, 0, 0}};
    const auto packets = pda.Packets();
    ASSERT_EQ(packets.size(), expected.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        for (size_t f = 0; f < 4; ++f) {
            EXPECT_EQ(Le32(packets[i].data() + 4 * f), expected[i][f]) << "packet " << i;
        }
    }
    EXPECT_EQ(pda.StrayBytes(), 0u);
}

TEST_F(PdaCommandsTest, RepliesAreGatheredWhenSplitAndBoundedWhenMissing) {
    // An acknowledgement that arrives in two pieces is still one acknowledgement.
    std::thread device([&] {
        wire.pty.Write({'O', 'K'});
        std::this_thread::sleep_for(30ms);
        wire.pty.Write({'U', 'P', 'O', 'K', 'U', 'X'});
    });
    EXPECT_TRUE(commands.ReadFlashAck());
    device.join();
    EXPECT_FALSE(commands.ReadFlashAck()) << "O K U X is not O K U P";

    // A handset that says nothing: the read gives up within the port's bound.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(commands.ReadFlashAck());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

TEST_F(PdaCommandsTest, VerifyChecksumReadsTheSecondReplyAfterThePause) {
    uint32_t nextSum = 0x12345678;
    CScriptedPda pda(wire.pty, [&](const Packet& p, size_t) -> std::vector<uint8_t> {
        EXPECT_EQ(Le32(p.data()), 10u);
        std::vector<uint8_t> reply = Word(10);
        const std::vector<uint8_t> sum = Word(nextSum);
        reply.insert(reply.end(), sum.begin(), sum.end());
        return reply;
    });
    uint32_t device = 0;
    EXPECT_EQ(commands.VerifyChecksum(0x9CA80000, 100, 0x12345678, device),
              fleet::ChecksumResult::Match);
    EXPECT_EQ(device, 0x12345678u);
    nextSum = 0xCAFE;
    EXPECT_EQ(commands.VerifyChecksum(0x9CA80000, 100, 0x12345678, device),
              fleet::ChecksumResult::Mismatch);
    EXPECT_EQ(device, 0xCAFEu);
    pda.Stop();
    const auto packets = pda.Packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(Le32(packets[0].data() + 4), 0x9CA80000u);
    EXPECT_EQ(Le32(packets[0].data() + 8), 100u);

    // Only the first reply comes: no checksum, and no verdict of "wrong".
    CScriptedPda half(wire.pty, [&](const Packet&, size_t) { return Word(10); });
    EXPECT_EQ(commands.VerifyChecksum(0x9CA80000, 100, 1, device), fleet::ChecksumResult::NoReply);
}

TEST_F(PdaCommandsTest, PieceAcknowledgementsOneForEachBlock) {
    testsupport::CRecordingSink sink;
    fleet::CSlotReporter report(&sink, 3);
    // 10 blocks of 520 bytes and a rest that gets none; the fifth answer is wrong.
    std::vector<uint8_t> acks;
    for (int j = 0; j < 10; ++j) {
        const char* a = j == 4 ? "OKUX" : "OKUP";
        acks.insert(acks.end(), a, a + 4);
    }
    wire.pty.Write(acks);
    const fleet::StepResult result = fleet::AwaitPieceAcks(commands, report, 10 * 520 + 519, 520);
    EXPECT_EQ(result.nCode, 217u);
    EXPECT_EQ(result.nDetail, 40u) << "j x 100 / n at the failing block";
    const auto posted = Drain(sink);
    EXPECT_EQ(ArgumentsOf(posted, 215), (std::vector<uint32_t>{0, 10, 20, 30}));
    EXPECT_EQ(ArgumentsOf(posted, 204).size(), 1u) << "with the first acknowledgement";
    EXPECT_TRUE(ArgumentsOf(posted, 216).empty());
    for (const Posted& p : posted) {
        EXPECT_EQ(p.nSlot, 3);
    }

    std::vector<uint8_t> good;
    for (int j = 0; j < 3; ++j) {
        good.insert(good.end(), {'O', 'K', 'U', 'P'});
    }
    // What is left of the first run (five answers) must not be taken for these.
    uint8_t drain[64];
    while (wire.port.Read(drain, sizeof drain) > 0) {
    }
    wire.pty.Write(good);
    EXPECT_TRUE(fleet::AwaitPieceAcks(commands, report, 3 * 520, 520).Ok());
    EXPECT_EQ(ArgumentsOf(Drain(sink), 216), (std::vector<uint32_t>{100}));
}

TEST_F(PdaCommandsTest, RawImageAcknowledgementsEvery256thBlock) {
    // Data end at (1500 + 600) blocks: 600 blocks, two acknowledgements.
    EXPECT_EQ(fleet::RawImageBlockCount((1500 + 600) * 520 + 519, 520), 600u);
    EXPECT_EQ(fleet::RawImageBlockCount(1000 * 520, 520), 0u) << "never negative";
    EXPECT_EQ(fleet::RawImageBlockCount(1000, 0), 0u);

    testsupport::CRecordingSink sink;
    fleet::CSlotReporter report(&sink, 0);
    wire.pty.Write({'O', 'K', 'U', 'P', 'O', 'K', 'U', 'P'});
    EXPECT_TRUE(fleet::AwaitRawImageAcks(commands, report, 600).Ok());
    auto posted = Drain(sink);
    EXPECT_EQ(ArgumentsOf(posted, 215), (std::vector<uint32_t>{256 * 100 / 600, 512 * 100 / 600}));
    EXPECT_EQ(ArgumentsOf(posted, 216), (std::vector<uint32_t>{100}));

    // The second acknowledgement is missing: 217 with what the first covered.
    wire.pty.Write({'O', 'K', 'U', 'P'});
    const fleet::StepResult result = fleet::AwaitRawImageAcks(commands, report, 600);
    EXPECT_EQ(result.nCode, 217u);
    EXPECT_EQ(result.nDetail, 256u * 100 / 600);
    EXPECT_TRUE(ArgumentsOf(Drain(sink), 216).empty());
}

}  // namespace
