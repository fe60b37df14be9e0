// The simulated fleet handset's parts on their own, fed bytes directly: its
// check values, its stores, its command line, and how its PDA and modem sides
// take good and bad input from the host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/fleet/bin_stream.h"
#include "sim/fleet/byte_store.h"
#include "sim/fleet/fleet_options.h"
#include "sim/fleet/modem_side.h"
#include "sim/fleet/pda_flash.h"
#include "sim/fleet/pda_side.h"
#include "sim/fleet/side_host.h"
#include "sim/fleet/sim_sums.h"
#include "tests/sim/fleet/fleet_test_support.h"

namespace {

using namespace fleetsimtest;
using fleetsim::Fault;
using fleetsim::Step;

class FakeHost : public fleetsim::ISideHost {
  public:
    void Send(const uint8_t* p, size_t n) override { sent.insert(sent.end(), p, p + n); }
    void Log(const std::string& text) override { logs.push_back(text); }
    void Notice(const std::string& text) override { notices.push_back(text); }
    fleetsim::CFaultPlan::Decision Consult(Step step, int nIndex) override {
        const fleetsim::CFaultPlan::Decision d = plan.Consult(step, nIndex);
        if (d.bSilent || d.bUnplug) {
            bHalted = true;
        }
        return d;
    }
    bool Halted() const override { return bHalted; }
    void SwitchToModem() override { ++nSwitches; }
    const fleetsim::HandsetSettings& Settings() const override { return settings; }
    fleetsim::CReceivedLog& Received() override { return received; }

    Bytes Take() {
        Bytes b;
        b.swap(sent);
        return b;
    }
    bool Noticed(const std::string& part) const {
        for (const std::string& n : notices) {
            if (n.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    Bytes sent;
    std::vector<std::string> logs;
    std::vector<std::string> notices;
    fleetsim::CFaultPlan plan;
    fleetsim::HandsetSettings settings;
    fleetsim::CReceivedLog received;
    bool bHalted = false;
    int nSwitches = 0;
};

// --- check values and stores ---------------------------------------------

TEST(FleetSimSums, FcsOfTheNineDigitsIsTheCheckValue) {
    const std::string digits = "123456789";
    const auto* p = reinterpret_cast<const uint8_t*>(digits.data());
    EXPECT_EQ(fleetsim::Fcs16(p, digits.size()), 0x906E);
    EXPECT_EQ(Fcs(Bytes(p, p + 9)), 0x906E);  // the tests' own, bit by bit
    EXPECT_EQ(fleetsim::Fcs16(p, 0), 0x0000);
}

TEST(FleetSimSums, ByteSumWrapsAt32Bits) {
    const Bytes small{0xFF, 0xFF, 0x02};
    EXPECT_EQ(fleetsim::ByteSum32(small.data(), small.size()), 0x200u);
    EXPECT_EQ(fleetsim::ByteSum32(nullptr, 0), 0u);
    // 0x01010102 bytes of 0xFF sum to 0x1_0000_00FE.
    const Bytes big(0x01010102, 0xFF);
    EXPECT_EQ(fleetsim::ByteSum32(big.data(), big.size()), 0xFEu);
}

TEST(FleetSimStore, WritesOnlyInsideItsWindowAndReadsTheFillBeyond) {
    CTempDir dir;
    fleetsim::CByteStore s(0x1000, 0x100, 0xFF);
    std::string error;
    ASSERT_TRUE(s.Open(dir.File("s.bin"), error)) << error;
    const Bytes data{1, 2, 3, 4};
    EXPECT_FALSE(s.Write(0x0FFF, data.data(), data.size()));  // starts below
    EXPECT_FALSE(s.Write(0x10FE, data.data(), data.size()));  // runs past the end
    EXPECT_FALSE(s.Contains(0xFFFFFFFFFFFFFF00ull, 0x200));   // wraps
    EXPECT_FALSE(s.Write(0x10FE, data.data(), 3));            // one byte too many
    EXPECT_FALSE(s.Erase(0x10FE, 3));
    EXPECT_EQ(s.Extent(), 0u);
    EXPECT_TRUE(s.Contains(0x10FE, 2));  // exactly up to the end
    EXPECT_TRUE(s.Contains(0x1100, 0));
    ASSERT_TRUE(s.Write(0x1010, data.data(), data.size()));
    EXPECT_EQ(s.Extent(), 0x14u);
    // The gap reads (and is stored) as the fill value, not as a hole of zeros.
    EXPECT_EQ(s.Read(0x100E, 4), (Bytes{0xFF, 0xFF, 1, 2}));
    EXPECT_EQ(ReadFileBytes(dir.File("s.bin")).size(), 0x14u);
    EXPECT_EQ(ReadFileBytes(dir.File("s.bin"))[0x0F], 0xFF);
    EXPECT_EQ(s.Sum32(0x1010, 8), 1u + 2 + 3 + 4 + 4 * 0xFF);
    EXPECT_TRUE(s.Erase(0x1011, 2));
    EXPECT_EQ(s.Read(0x1010, 4), (Bytes{1, 0xFF, 0xFF, 4}));
    EXPECT_EQ(ReadFileBytes(dir.File("s.bin"))[0x11], 0xFF);
    EXPECT_EQ(s.Read(0x10FF, 10).size(), 1u);  // clamped to the window
    EXPECT_TRUE(s.Read(0x1100, 1).empty());
}

TEST(FleetSimStore, FlashSplitsAcrossTheBootAndImagePartitions) {
    fleetsim::CPdaFlash flash;
    std::string error;
    ASSERT_TRUE(flash.Open("", "", error));
    const Bytes data = Pattern(100, 3);
    ASSERT_TRUE(flash.Write(kOsBase - 40, data.data(), data.size()));
    EXPECT_EQ(flash.Boot().Extent(), 0x80000u);
    EXPECT_EQ(flash.Os().Extent(), 60u);
    EXPECT_EQ(flash.Read(kOsBase - 40, 100), data);
    EXPECT_EQ(flash.Sum32(kOsBase - 40, 100), Sum32(data));
    EXPECT_FALSE(flash.Write(kFlashBase - 1, data.data(), 2));
    EXPECT_FALSE(flash.Contains(kFlashBase + 0x08000000ull - 1, 2));
}

// --- command line ------------------------------------------------------------

TEST(FleetSimCommandLine, TakesEveryOptionAndRefusesNonsense) {
    fleetsim::FleetCommandLine cl;
    std::string error;
    ASSERT_TRUE(fleetsim::ParseFleetCommandLine(
        {"--dir",           "/d",      "--count",           "3",        "--store",       "/s",
         "--pace",          "1000000", "--ack-block",       "256",      "--modem-delay", "25000",
         "--verify-delay",  "10",      "--signature-delay", "20",       "--answers",     "ok",
         "--serial-prefix", "AB",      "--wrong",           "ack:5@2",  "--silent",      "ram:100",
         "--unplug",        "block",   "--no-modem",        "--verbose"},
        cl, error))
        << error;
    EXPECT_EQ(cl.options.strDir, "/d");
    EXPECT_EQ(cl.options.nCount, 3);
    EXPECT_EQ(cl.options.strStoreDir, "/s");
    EXPECT_EQ(cl.options.settings.nPaceBytesPerSecond, 1000000u);
    EXPECT_EQ(cl.options.settings.nAckBlock, 256u);
    EXPECT_EQ(cl.options.settings.nModemDelayMs, 25000);
    EXPECT_EQ(cl.options.settings.nVerifyDelayMs, 10);
    EXPECT_EQ(cl.options.settings.nSignatureDelayMs, 20);
    EXPECT_EQ(cl.options.settings.answers, fleetsim::AnswerStyle::Ok);
    EXPECT_EQ(cl.options.strSerialPrefix, "AB");
    EXPECT_TRUE(cl.options.settings.bNoModem);
    EXPECT_TRUE(cl.bVerbose);
    ASSERT_EQ(cl.options.faults.size(), 3u);
    EXPECT_EQ(cl.options.faults[0].kind, Fault::Kind::Wrong);
    EXPECT_EQ(cl.options.faults[0].step, Step::Ack);
    EXPECT_EQ(cl.options.faults[0].nIndex, 5);
    EXPECT_EQ(cl.options.faults[0].nHandset, 2);
    EXPECT_EQ(cl.options.faults[1].kind, Fault::Kind::Silent);
    EXPECT_EQ(cl.options.faults[1].nIndex, 100);
    EXPECT_EQ(cl.options.faults[2].kind, Fault::Kind::Unplug);
    EXPECT_EQ(cl.options.faults[2].step, Step::Block);
    EXPECT_EQ(cl.options.faults[2].nHandset, 0);

    const std::vector<std::vector<std::string>> bad = {
        {"--count", "1", "--store", "/s"},                  // no folder
        {"--dir", "/d", "--count", "1"},                    // no store
        {"--dir", "/d", "--store", "/s"},                   // no count
        {"--dir", "/d", "--count", "0", "--store", "/s"},   // too few
        {"--dir", "/d", "--count", "65", "--store", "/s"},  // too many
        {"--dir", "/d", "--count", "1", "--store", "/s", "--pace", "x"},
        {"--dir", "/d", "--count", "1", "--store", "/s", "--pace", "999"},
        {"--dir", "/d", "--count", "1", "--store", "/s", "--wrong", "ram:3"},  // no answer
        {"--dir", "/d", "--count", "1", "--store", "/s", "--wrong", "nosuch"},
        {"--dir", "/d", "--count", "1", "--store", "/s", "--wrong", "ack:x"},
        {"--dir", "/d", "--count", "1", "--store", "/s", "--wrong", "ack@0"},
        {"--dir", "/d", "--count", "2", "--store", "/s", "--wrong", "ack@3"},  // no handset 3
        {"--dir", "/d", "--count", "1", "--store", "/s", "--answers", "loud"},
        {"--dir", "/d", "--count", "1", "--store", "/s", "--serial-prefix", "a/b"},
        {"--dir", "/d", "--count", "1", "--store", "/s", "--bogus"},
        {"--dir"},
    };
    for (const auto& args : bad) {
        fleetsim::FleetCommandLine out;
        std::string why;
        EXPECT_FALSE(fleetsim::ParseFleetCommandLine(args, out, why)) << args.back();
        EXPECT_FALSE(why.empty());
    }
    fleetsim::FleetCommandLine help;
    EXPECT_TRUE(fleetsim::ParseFleetCommandLine({"--help"}, help, error));
    EXPECT_TRUE(help.bHelp);
}

TEST(FleetSimCommandLine, LinkNamesFollowTheByIdStyle) {
    EXPECT_EQ(fleetsim::HandsetSerial("FSIM", 7), "FSIM0007");
    EXPECT_EQ(fleetsim::PdaLinkName("FSIM0007"), "usb-Sim_Handset_FSIM0007-if01");
    EXPECT_EQ(fleetsim::ModemLinkName("FSIM0007"), "usb-Sim_Handset_FSIM0007-if00");
}

// --- PDA side ----------------------------------------------------------------

class PdaSideTest : public ::testing::Test {
  protected:
    PdaSideTest() {
        std::string error;
        EXPECT_TRUE(ram.Open("", error));
        EXPECT_TRUE(flash.Open("", "", error));
        host.settings.nVerifyDelayMs = 100;
        pda.OnHostOpened();
    }
    void Feed(const Bytes& b) { pda.OnBytes(b.data(), b.size(), now); }

    FakeHost host;
    fleetsim::CByteStore ram{0x80000000, 0x08000000, 0};
    fleetsim::CPdaFlash flash;
    fleetsim::CPdaSide pda{host, ram, flash};
    fleetsim::TimePoint now = fleetsim::Clock::now();
};

TEST_F(PdaSideTest, HandshakeIsAnsweredEvenWhenItComesInPieces) {
    Feed({'A', 'T'});
    EXPECT_TRUE(host.sent.empty());
    Feed({'U', 'D'});
    EXPECT_EQ(host.Take(), (Bytes{'O', 'K', 'U', 'D'}));
    // A handshake right before a packet, in one write.
    Bytes b{'A', 'T', 'U', 'D'};
    const Bytes attached = Command(13);
    b.insert(b.end(), attached.begin(), attached.end());
    Feed(b);
    EXPECT_EQ(host.Take(), (Bytes{'O', 'K', 'U', 'D'}));
    EXPECT_EQ(pda.Record().nHandshakes, 2);
    EXPECT_TRUE(pda.Record().bAttached);
}

TEST_F(PdaSideTest, RamTransferNotAMultipleOf1008EndsWithTheRemainingCount) {
    const Bytes data = Pattern(2500, 1);
    Feed(RamTransfer(kRam, data));
    Feed(Command(11));  // any command closes the transfer
    EXPECT_EQ(ram.Read(kRam, data.size()), data);
    ASSERT_EQ(pda.Record().transfers.size(), 1u);
    EXPECT_EQ(pda.Record().transfers[0].nStart, kRam);
    EXPECT_EQ(pda.Record().transfers[0].nEnd, kRam + 2500u);
    EXPECT_EQ(pda.Record().transfers[0].nPackets, 3);
    EXPECT_EQ(pda.Record().nRefused, 0);
    EXPECT_EQ(host.Take(), Word(11));  // the ignored reply carries the code
}

TEST_F(PdaSideTest, BadRamPacketsAreRefusedAndNeverWritten) {
    const Bytes data = Pattern(1008, 2);
    Bytes badSum = WriteRam(kRam, data.data(), 1008);
    badSum[12] ^= 1;
    Feed(badSum);
    Bytes zeroLength = WriteRam(kRam, data.data(), 1008);
    Put32(zeroLength, 8, 0);
    Feed(zeroLength);
    Bytes tooLong = WriteRam(kRam, data.data(), 1008);
    Put32(tooLong, 8, 1009);
    Feed(tooLong);
    Feed(WriteRam(0x7FFFFF00, data.data(), 1008));         // below RAM
    Feed(WriteRam(0x87FFFF00, data.data(), 1008));         // runs past the end of RAM
    Feed(WriteRam(0xFFFFFF00, data.data(), 1008));         // would wrap a 32-bit address
    Feed(WriteRam(0x88000000 - 1007, data.data(), 1008));  // one byte past the end
    EXPECT_EQ(pda.Record().nRefused, 7);
    EXPECT_EQ(ram.Extent(), 0u) << "nothing may be written";
    Feed(WriteRam(0x88000000 - 1008, data.data(), 1008));  // the last 1008 bytes of RAM
    EXPECT_EQ(pda.Record().nRefused, 7);
    EXPECT_EQ(ram.Read(0x88000000 - 1008, 1008), data);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(host.Noticed("sum"));
    EXPECT_TRUE(host.Noticed("length 0"));
    EXPECT_TRUE(host.Noticed("length 1009"));
    EXPECT_TRUE(host.Noticed("outside RAM"));
}

TEST_F(PdaSideTest, ProgramCopiesRamIntoTheBootPartitionWithoutAnswering) {
    const Bytes eboot = Pattern(5000, 3);
    Feed(RamTransfer(kRam, eboot));
    Feed(Command(4, kRam, 5000, kFlashBase));
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(flash.Boot().Read(kFlashBase, 5000), eboot);
    EXPECT_EQ(flash.Boot().Extent(), 5000u);
    ASSERT_EQ(pda.Record().programs.size(), 1u);
    EXPECT_FALSE(pda.Record().programs[0].bFailed);

    // A program of RAM whose transfer had a refused packet programs nothing.
    Bytes t = RamTransfer(kRam, Pattern(3000, 4));
    t[1024 + 12] ^= 0x10;  // second packet's sum
    Feed(t);
    Feed(Command(4, kRam, 3000, kFlashBase));
    EXPECT_EQ(flash.Boot().Read(kFlashBase, 5000), eboot);
    EXPECT_TRUE(pda.Record().programs[1].bFailed);
    // Out of range: refused.
    Feed(RamTransfer(kRam, eboot));
    Feed(Command(4, kRam, 5000, 0x10000000));
    EXPECT_TRUE(pda.Record().programs[2].bFailed);
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(PdaSideTest, EraseThenTransferProgramsWithOneAcknowledgementPerBlock) {
    const Bytes region = Pattern(2601, 5);  // 5 whole blocks of 520 and one byte
    Feed(Command(6, kOsBase, 2601));
    EXPECT_EQ(host.Take(), Word(6));
    // The last packet carries bytes past the erased length; they are not programmed.
    Bytes withTail = region;
    withTail.resize(3024, 0xAB);
    Feed(RamTransfer(kRam, withTail));
    Bytes acks;
    for (int i = 0; i < 5; ++i) {
        acks.insert(acks.end(), kOkup.begin(), kOkup.end());
    }
    EXPECT_EQ(host.Take(), acks);
    EXPECT_EQ(flash.Read(kOsBase, 2601), region);
    EXPECT_EQ(flash.Read(kOsBase + 2601, 1), Bytes{0xFF});
    ASSERT_EQ(pda.Record().programs.size(), 1u);
    EXPECT_EQ(pda.Record().programs[0].nDone, 2601u);
    EXPECT_EQ(pda.Record().programs[0].nAcks, 5);

    Feed(Command(10, kOsBase, 2601));
    EXPECT_EQ(host.Take(), Word(10));
    pda.OnTimer(now + std::chrono::milliseconds(50));
    EXPECT_TRUE(host.sent.empty()) << "the checksum follows after the device's time";
    pda.OnTimer(now + std::chrono::milliseconds(150));
    EXPECT_EQ(host.Take(), Word(Sum32(region)));
}

TEST_F(PdaSideTest, ARefusedPacketDuringProgrammingIsAnsweredWithFail) {
    Feed(Command(6, kOsBase, 4032));
    host.Take();
    Bytes t = RamTransfer(kRam, Pattern(4032, 6));
    t[2 * 1024 + 16] ^= 0x01;  // third packet: payload no longer matches its sum
    Feed(t);
    // Packets 1 and 2 made 3 blocks of 520; then the failure.
    Bytes want;
    for (int i = 0; i < 3; ++i) {
        want.insert(want.end(), kOkup.begin(), kOkup.end());
    }
    want.insert(want.end(), kFail.begin(), kFail.end());
    EXPECT_EQ(host.Take(), want);
    EXPECT_TRUE(pda.Record().programs[0].bFailed);
}

TEST_F(PdaSideTest, AnEraseOutsideTheFlashFailsItsProgramming) {
    Feed(Command(6, 0x10000000, 4096));
    EXPECT_EQ(host.Take(), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'F', 'A', 'I', 'L'}));
    Feed(Command(6, kOsBase, 0));
    EXPECT_EQ(host.Take(), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'F', 'A', 'I', 'L'}));
    Feed(Command(10, 0x10000000, 16));
    pda.OnTimer(now + std::chrono::seconds(1));
    EXPECT_EQ(host.Take(), (Bytes{10, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(PdaSideTest, ProgramRawWritesTheLastTransferAfterTheBootPartition) {
    const Bytes image = Pattern(5300, 7);
    Feed(RamTransfer(kRam, image));
    Feed(Command(12, kRam, 123456, kFlashBase));
    Bytes acks;
    for (int i = 0; i < 10; ++i) {  // 5300 / 520
        acks.insert(acks.end(), kOkup.begin(), kOkup.end());
    }
    EXPECT_EQ(host.Take(), acks);
    EXPECT_EQ(flash.Os().Read(kOsBase, 5300), image);
    EXPECT_EQ(flash.Os().Extent(), 5300u);
    EXPECT_EQ(flash.Boot().Extent(), 0u);

    // Without a transfer at that address: one FAIL.
    Feed(Command(12, kRam + 0x100000, 0, kFlashBase));
    EXPECT_EQ(host.Take(), kFail);
}

TEST_F(PdaSideTest, CommandsWithStrayArgumentsOrPayloadAreRefused) {
    Bytes b = Command(11);
    b[100] = 1;
    Feed(b);
    EXPECT_EQ(host.Take(), Word(0xFFFFFFFF));
    Feed(Command(2, 0x9CA80000, 5));  // launch with a second argument
    EXPECT_EQ(pda.Record().nFinalCommand, 0u);
    Feed(Command(77));
    EXPECT_TRUE(host.Noticed("unknown command 77"));
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(pda.Record().nRefused, 3);
    Feed(Command(2, 0x9CA80000));
    EXPECT_EQ(pda.Record().nFinalCommand, 2u);
    EXPECT_EQ(pda.Record().nFinalAddress, 0x9CA80000u);
}

TEST_F(PdaSideTest, ReplyCommandsCarryTheirCodeAndTheSwitchHandsOver) {
    Feed(Command(36));
    Feed(Command(37, 0x9CA80000));
    Feed(Command(50, 0x9CA80000));
    Feed(Command(51, 0x9CA80000));
    Feed(Command(11));
    Feed(Command(15, 0x9CA80000));
    Bytes want;
    for (uint32_t c : {36u, 37u, 50u, 51u, 11u, 15u}) {
        const Bytes w = Word(c);
        want.insert(want.end(), w.begin(), w.end());
    }
    EXPECT_EQ(host.Take(), want);
    EXPECT_EQ(host.nSwitches, 1);
    EXPECT_TRUE(pda.Record().bSwitched);
    EXPECT_EQ(pda.Record().handovers, (std::vector<uint32_t>{37, 50, 51}));
    Feed(Command(36));
    EXPECT_TRUE(host.sent.empty()) << "the PDA interface is gone after the switch";
}

TEST_F(PdaSideTest, SignatureCheckAcceptsTheLengthOfGoodRamAndLetsTheEraseProgramIt) {
    const Bytes data = Pattern(2080, 8);
    Feed(RamTransfer(kRam, data));
    Feed(Command(38, kRam, 2080));
    pda.OnTimer(now + std::chrono::seconds(1));
    EXPECT_EQ(host.Take(), (Bytes{38, 0, 0, 0, 0x20, 0x08, 0, 0}));
    Feed(Command(6, kOsBase, 2080));
    Bytes want = Word(6);
    for (int i = 0; i < 4; ++i) {
        want.insert(want.end(), kOkup.begin(), kOkup.end());
    }
    EXPECT_EQ(host.Take(), want);
    EXPECT_EQ(flash.Read(kOsBase, 2080), data);
    // Longer than what RAM holds with good packets is fine; RAM never written is a mismatch.
    Feed(Command(38, kRam + 0x1000000, 16));
    pda.OnTimer(now + std::chrono::seconds(2));
    EXPECT_EQ(host.Take(), (Bytes{38, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PdaSideTest, WrongFaultsSpoilTheAcknowledgementChecksumAndHandshake) {
    host.plan.Add({Fault::Kind::Wrong, Step::Ack, 2, 0});
    host.plan.Add({Fault::Kind::Wrong, Step::Checksum, 0, 0});
    host.plan.Add({Fault::Kind::Wrong, Step::Okud, 1, 0});
    Feed({'A', 'T', 'U', 'D', 'A', 'T', 'U', 'D'});
    EXPECT_EQ(host.Take(), (Bytes{'O', 'K', 'U', 'D', 'O', 'K', 'U', 'X'}));
    Feed(Command(6, kOsBase, 5200));
    host.Take();
    const Bytes region = Pattern(5200, 9);
    Feed(RamTransfer(kRam, region));
    Bytes want;
    want.insert(want.end(), kOkup.begin(), kOkup.end());
    want.insert(want.end(), kOkup.begin(), kOkup.end());
    want.insert(want.end(), kFail.begin(), kFail.end());
    EXPECT_EQ(host.Take(), want) << "acknowledgement 2 fails, then none follow";
    Feed(Command(10, kOsBase, 5200));
    pda.OnTimer(now + std::chrono::seconds(1));
    const Bytes r = host.Take();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Get32(r, 4), flash.Sum32(kOsBase, 5200) + 1);
}

TEST_F(PdaSideTest, ASilentFaultDropsTheItemAndEverythingAfter) {
    host.plan.Add({Fault::Kind::Silent, Step::Ram, 1, 0});
    Feed(Command(6, kOsBase, 3024));
    host.Take();
    Feed(RamTransfer(kRam, Pattern(3024, 10)));
    EXPECT_EQ(host.Take(), kOkup) << "only the first packet's block";
    EXPECT_EQ(ram.Extent(), kRam - 0x80000000u + 1008u);
    Feed(Command(11));
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(PdaSideTest, EverythingReceivedIsRecordedInOrderRefusalsIncluded) {
    Feed({'A', 'T', 'U', 'D'});
    Feed(Command(13));
    Feed(RamTransfer(kRam, Pattern(2100, 11)));
    Feed(Command(4, kRam, 2100, kFlashBase));
    // A second transfer right after the first is an entry of its own.
    Feed(RamTransfer(kRam + 0x10000, Pattern(1008, 12)));
    Feed(RamTransfer(kRam, Pattern(10, 13)));
    Feed(Command(13, 1));  // refused: a stray argument
    Feed(Command(77));
    Feed(Command(16, kRam, 0x15, kFlashBase));
    const Bytes header(15, 0);
    Feed(StreamPacket(15, header.data(), header.size()));
    Feed(StreamPacket(12, header.data(), 12));
    Feed(Command(15, 0x9CA80000));
    Feed(Command(2, 0x9CA80000));
    EXPECT_EQ(host.received.Entries(),
              (std::vector<std::string>{
                  "pda A T U D",
                  "pda PDA_ATTACHED 0x00000000 0x00000000 0x00000000",
                  "pda PDA_WRITE_RAM x3 0x80100000+2100",
                  "pda PDA_PROGRAM 0x80100000 0x00000834 0x9CA00000",
                  "pda PDA_WRITE_RAM x1 0x80110000+1008",
                  "pda PDA_WRITE_RAM x1 0x80100000+10",
                  "pda PDA_ATTACHED 0x00000001 0x00000000 0x00000000",
                  "pda unknown command 0x0000004D",
                  "pda PDA_PROGRAM_BIN 0x80100000 0x00000015 0x9CA00000",
                  "pda stream x2",
                  "pda PDA_SWITCH_TO_PHONE 0x9CA80000 0x00000000 0x00000000",
                  "pda packet after the switch x1",
              }));
}

// --- B000FF streams ----------------------------------------------------------

class StreamTest : public PdaSideTest {
  protected:
    void Announce() { Feed(Command(16, kRam, 0x12345, kFlashBase)); }
    const fleetsim::StreamRecord& Rec() { return pda.Stream(); }
};

TEST_F(StreamTest, AnImageOfWholeRecordsArrivesByteForByte) {
    const Bytes image = B000ffImage(2, 0, 11);
    Announce();
    Feed(StreamImage(image));
    EXPECT_EQ(Rec().state, fleetsim::StreamRecord::State::ExpectRecord);
    Feed(Command(11));  // the stream is over
    EXPECT_TRUE(Rec().bComplete);
    EXPECT_EQ(Rec().nRecords, 2);
    EXPECT_EQ(Rec().nBytes, image.size());
    EXPECT_EQ(Rec().nImageStart, kOsBase);
    EXPECT_EQ(flash.Os().Read(kOsBase, image.size() + 1), [&] {
        Bytes b = image;
        b.push_back(0xFF);
        return b;
    }());
    EXPECT_EQ(host.Take(), Word(11)) << "no acknowledgements for a stream";
}

TEST_F(StreamTest, AShortLastRecordMayEndInAShortFullPieceOrInItsOwnKind) {
    // 5000 data bytes: four pieces of 1008, then 968.
    const Bytes image = B000ffImage(1, 5000, 12);
    {
        Announce();
        Feed(StreamImage(image));  // the host's way: the last 968 as kind 1024
        Feed(Command(2, 0x9CA80000));
        EXPECT_TRUE(Rec().bComplete);
        EXPECT_EQ(Rec().nRecords, 2);
        EXPECT_EQ(flash.Os().Extent(), image.size());
        EXPECT_EQ(flash.Os().Read(kOsBase, image.size()), image);
    }
    {
        Announce();
        Bytes s = StreamImage(image);
        // Same stream but the last piece as kind 968.
        const size_t last = s.size() - 1024;
        s[last] = static_cast<uint8_t>(968 & 0xFF);
        s[last + 1] = static_cast<uint8_t>(968 >> 8);
        Feed(s);
        Feed(Command(2, 0x9CA80000));
        EXPECT_TRUE(Rec().bComplete) << Rec().strFailure;
        EXPECT_EQ(Rec().nBytes, image.size());
    }
}

TEST_F(StreamTest, ABadSumFailsTheStreamDropsTheRestAndTheNextCommandIsServed) {
    const Bytes image = B000ffImage(2, 0, 13);
    Bytes s = StreamImage(image);
    s[5 * 1024 + 16] ^= 0x40;  // payload of packet 5
    Announce();
    Feed(s);
    EXPECT_EQ(Rec().state, fleetsim::StreamRecord::State::Failed);
    EXPECT_NE(Rec().strFailure.find("packet 5"), std::string::npos) << Rec().strFailure;
    EXPECT_EQ(Rec().nDropped, static_cast<int>(s.size() / 1024) - 6);
    EXPECT_LT(flash.Os().Extent(), image.size());
    Feed(Command(11));
    EXPECT_FALSE(Rec().bComplete);
    EXPECT_EQ(host.Take(), Word(11));
}

TEST_F(StreamTest, KindsLengthsHeaderAndPaddingAreChecked) {
    const Bytes image = B000ffImage(1, 0, 14);
    auto failsWith = [&](const Bytes& s, const std::string& part) {
        Announce();
        Feed(s);
        Feed(Command(11));
        EXPECT_FALSE(Rec().bComplete) << part;
        EXPECT_NE(Rec().strFailure.find(part), std::string::npos) << Rec().strFailure;
    };
    Bytes s = StreamImage(image);
    // The image header missing: the record header comes first.
    failsWith(Bytes(s.begin() + 1024, s.end()), "image header (15)");
    // Not B000FF.
    Bytes notSync = image;
    notSync[0] = 'X';
    failsWith(StreamImage(notSync), "does not begin with B000FF");
    // A record header of the wrong kind.
    Bytes wrongKind = s;
    wrongKind[1024] = 13;
    failsWith(wrongKind, "record header (12)");
    // A full piece where only the last 544 bytes of the record remain.
    Bytes lastAsFull = s;
    const size_t last = s.size() - 1024;
    lastAsFull[last] = 0x00;
    lastAsFull[last + 1] = 0x04;
    failsWith(lastAsFull, "kind 1024 with only 544");
    // A last piece of the wrong length.
    Bytes wrongLast = s;
    wrongLast[last] = static_cast<uint8_t>(600 & 0xFF);
    wrongLast[last + 1] = static_cast<uint8_t>(600 >> 8);
    failsWith(wrongLast, "only 544 bytes left");
    // Stale bytes after a piece's payload.
    Bytes stale = s;
    stale[last + 16 + 544] = 0x5A;
    failsWith(stale, "not zero");
    // A kind no stream has.
    Bytes odd = s;
    odd[2 * 1024] = static_cast<uint8_t>(2000 & 0xFF);
    odd[2 * 1024 + 1] = static_cast<uint8_t>(2000 >> 8);
    failsWith(odd, "none of 15, 12, 1024");
    // A packet after the image's short last record.
    const Bytes shortImage = B000ffImage(0, 100, 15);
    Bytes extra = StreamImage(shortImage);
    const Bytes more = StreamPacket(12, shortImage.data(), 12);
    extra.insert(extra.end(), more.begin(), more.end());
    failsWith(extra, "after the image's last record");
}

TEST_F(StreamTest, AStreamThatEndsInsideARecordIsNotComplete) {
    const Bytes image = B000ffImage(1, 0, 16);
    const Bytes s = StreamImage(image);
    Announce();
    Feed(Bytes(s.begin(), s.begin() + 10 * 1024));
    Feed(Command(11));
    EXPECT_FALSE(Rec().bComplete);
    EXPECT_TRUE(host.Noticed("incomplete"));
    // Announced but nothing came.
    Announce();
    Feed(Command(11));
    EXPECT_FALSE(Rec().bComplete);
    EXPECT_TRUE(host.Noticed("no packet came"));
}

// --- modem side --------------------------------------------------------------

class ModemSideTest : public ::testing::Test {
  protected:
    ModemSideTest() {
        std::string error;
        EXPECT_TRUE(flash.Open("", error));
        modem.OnHostOpened();
    }
    void Feed(const Bytes& b) { modem.OnBytes(b.data(), b.size(), now); }
    // Each answer frame the handset sent, decoded; a refused frame reads 3.
    std::vector<int> Codes() {
        std::vector<int> codes;
        const Bytes s = host.Take();
        size_t i = 0;
        while (i < s.size()) {
            if (s[i] != 0x7E) {
                codes.push_back(s[i] == 'O' ? 2 : s[i]);
                i += s[i] == 'O' ? 2 : 1;
                continue;
            }
            size_t j = i + 1;
            while (j < s.size() && s[j] != 0x7E) {
                ++j;
            }
            const Bytes payload =
                DecodeAnswer(Bytes(s.begin() + static_cast<std::ptrdiff_t>(i),
                                   s.begin() + static_cast<std::ptrdiff_t>(j + 1)));
            codes.push_back(payload.size() == 1 ? payload[0] : -1);
            i = j + 1;
        }
        return codes;
    }

    FakeHost host;
    fleetsim::CByteStore flash{0, 0x08000000, 0xFF};
    fleetsim::CModemSide modem{host, flash, ""};
    fleetsim::TimePoint now = fleetsim::Clock::now();
};

TEST_F(ModemSideTest, GreetingIsAcknowledgedWithAFramedTwo) {
    Feed(Greeting());
    const Bytes answer = host.Take();
    EXPECT_EQ(DecodeAnswer(answer), Bytes{0x02});
    EXPECT_EQ(ResponseCode(answer), 2);
    // Split across reads, and twice in one.
    const Bytes g = Greeting();
    Feed(Bytes(g.begin(), g.begin() + 2));
    EXPECT_TRUE(host.sent.empty());
    Feed(Bytes(g.begin() + 2, g.end()));
    Bytes two = g;
    two.insert(two.end(), g.begin(), g.end());
    Feed(two);
    EXPECT_EQ(Codes(), (std::vector<int>{2, 2, 2}));
    EXPECT_EQ(modem.Record().nGreetings, 4);
}

TEST_F(ModemSideTest, ABadFcsIsAnsweredWithANonAcknowledgement) {
    Feed(Frame({0xA0}, true));
    EXPECT_EQ(Codes(), std::vector<int>{3});
    EXPECT_EQ(modem.Record().nBadFrames, 1);
    EXPECT_TRUE(host.Noticed("bad FCS"));
    // A broken escape right before the closing flag.
    Feed({0x7E, 0xA0, 0x7D, 0x7E});
    EXPECT_EQ(Codes(), std::vector<int>{3});
    // Unknown command, wrong lengths.
    Feed(Frame({0x42}));
    Feed(Frame({0xA0, 0x00}));
    Feed(Frame({0xC0, 0x11, 0x11, 0x00, 0x00}));
    EXPECT_EQ(Codes(), (std::vector<int>{3, 3, 3}));
    // Junk between frames is skipped, the padding zero after a frame is not junk.
    Feed({0x11, 0x22});
    Bytes g = Greeting();
    g.push_back(0x00);
    Feed(g);
    EXPECT_EQ(Codes(), std::vector<int>{2});
    EXPECT_EQ(modem.Record().nJunkBytes, 2u);
    // A frame with no end is refused once it is too long to be one.
    Bytes endless(1200, 0x41);
    endless[0] = 0x7E;
    Feed(endless);
    EXPECT_EQ(Codes(), std::vector<int>{3});
}

TEST_F(ModemSideTest, EveryFrameAndRunOfBlocksIsRecordedInOrder) {
    Feed(Greeting());
    Feed(Frame({0xA0}, true));
    Feed(AreaOpen(0x4000, 0x1000));
    Feed(Pattern(1024, 1));
    Feed(Pattern(1024, 2));
    Feed(Greeting());
    Feed(EfsErase());
    Feed(Frame({0x42}));
    Feed(LaunchFrame());
    Feed({0x11, 0x22});
    Feed(Greeting());
    EXPECT_EQ(host.received.Entries(),
              (std::vector<std::string>{"modem A0", "modem bad frame", "modem EF 0x00004000+4096",
                                        "modem data x2", "modem A0", "modem E0",
                                        "modem 42 (1 bytes)", "modem C0 10 10 00 00",
                                        "modem 2 bytes outside any frame", "modem A0"}));
}

TEST_F(ModemSideTest, EscapedBytesAreUnstuffedBeforeTheyAreUsed) {
    // Start and length holding 0x7D, 0x7E and 0x7F.
    const uint32_t start = 0x007E7D00;
    const uint32_t length = 0x7F00;
    const Bytes open = AreaOpen(start, length);
    EXPECT_GT(open.size(), 17u) << "the frame must carry escapes";
    Feed(open);
    EXPECT_EQ(Codes(), std::vector<int>{2});
    ASSERT_EQ(modem.Record().areas.size(), 1u);
    EXPECT_EQ(modem.Record().areas[0].nStart, start);
    EXPECT_EQ(modem.Record().areas[0].nEraseLength, length);
}

TEST_F(ModemSideTest, BlocksAreWrittenAtTheAreaPositionAndAcknowledged) {
    Feed(AreaOpen(0x4000, 0x4000));
    const Bytes data = Pattern(3 * 1024, 20);
    Bytes first(data.begin(), data.begin() + 1024);
    first[0] = 0x7E;  // a block may begin with a flag
    first[5] = 0x7E;
    Feed(first);
    Feed(Bytes(data.begin() + 1024, data.end()));
    EXPECT_EQ(Codes(), (std::vector<int>{2, 2, 2, 2}));
    Bytes want = data;
    want[0] = 0x7E;
    want[5] = 0x7E;
    EXPECT_EQ(flash.Read(0x4000, 3 * 1024), want);
    EXPECT_EQ(modem.Record().areas[0].nBlocks, 3);
    EXPECT_EQ(modem.Record().areas[0].nWritten, 3u * 1024);
    // The next greeting ends the area; its blocks stay.
    Feed(Greeting());
    EXPECT_EQ(Codes(), std::vector<int>{2});
    Feed(Pattern(1024, 21));  // a block with no area open: junk and bad frames, never written
    Codes();
    EXPECT_EQ(flash.Read(0x4000, 3 * 1024), want);
    EXPECT_EQ(flash.Extent(), 0x4000u + 3 * 1024);
}

TEST_F(ModemSideTest, ABlockPastItsAreaIsRefusedAndOneReachingOverIsCut) {
    Feed(AreaOpen(0x1000, 1500));
    const Bytes a = Pattern(1024, 22);
    Bytes b = Pattern(1024, 23);
    std::fill(b.begin() + 476, b.end(), 0xFF);  // padding past the area
    Feed(a);
    Feed(b);
    Feed(Pattern(1024, 24));  // nothing of it fits
    EXPECT_EQ(Codes(), (std::vector<int>{2, 2, 2, 3}));
    EXPECT_EQ(flash.Read(0x1000, 1024), a);
    EXPECT_EQ(flash.Read(0x1400, 476), Bytes(b.begin(), b.begin() + 476));
    EXPECT_EQ(flash.Extent(), 0x1000u + 1500);
    EXPECT_EQ(modem.Record().areas[0].nRefusedBlocks, 1);
    // An area outside the modem's flash is refused.
    Feed(AreaOpen(0x07FFF000, 0x2000));
    EXPECT_EQ(Codes(), std::vector<int>{3});
}

TEST_F(ModemSideTest, AnIncompleteBlockIsRefusedWhenNothingMoreComes) {
    Feed(AreaOpen(0, 4096));
    Codes();
    Feed(Pattern(700, 25));
    modem.OnTimer(now + std::chrono::milliseconds(100));
    EXPECT_TRUE(host.sent.empty());
    modem.OnTimer(now + std::chrono::milliseconds(300));
    EXPECT_EQ(Codes(), std::vector<int>{3});
    EXPECT_EQ(flash.Extent(), 0u);
}

TEST_F(ModemSideTest, ABrokenFrameWhileAnAreaIsOpenIsNeverWrittenAsData) {
    Feed(AreaOpen(0, 4096));
    Codes();
    // Not a valid frame, so it may be the start of a block: it waits...
    Feed(Frame({0xA0}, true));
    EXPECT_TRUE(host.sent.empty());
    // ...and is refused when no block follows.
    modem.OnTimer(now + std::chrono::milliseconds(300));
    EXPECT_EQ(Codes(), std::vector<int>{3});
    EXPECT_EQ(flash.Extent(), 0u);
    EXPECT_EQ(modem.Record().areas[0].nBlocks, 0);
    // A good greeting right away still ends the area.
    Feed(Greeting());
    EXPECT_EQ(Codes(), std::vector<int>{2});
}

TEST_F(ModemSideTest, ParameterBlockEfsEraseAndLaunch) {
    Feed(AreaOpen(0x10000, 0x10000));
    const Bytes first24 = Pattern(24, 26);
    Feed(ParamBlockFrame(0x10000, first24));
    Feed(EfsErase());
    Feed(LaunchFrame());
    EXPECT_EQ(Codes(), (std::vector<int>{2, 2, 2, 2}));
    Bytes want(512, 0xFF);
    std::copy(first24.begin(), first24.end(), want.begin());
    EXPECT_EQ(flash.Read(0x10000, 512), want);
    EXPECT_TRUE(modem.Record().areas[0].bParamBlock);
    EXPECT_EQ(modem.Record().nEfsErases, 1);
    EXPECT_TRUE(modem.Record().bLaunched);
    EXPECT_EQ(modem.Record().nLaunchWord, 0x1010);
    // The EFS erase clears the file-system partition, and only that.
    Feed(AreaOpen(0x016FFC00, 0x800));
    const Bytes below = Pattern(1024, 27);
    Feed(below);
    Feed(Pattern(1024, 28));
    Feed(EfsErase());
    EXPECT_EQ(Codes(), (std::vector<int>{2, 2, 2, 2}));
    EXPECT_EQ(flash.Read(0x016FFC00, 1024), below);
    EXPECT_EQ(flash.Read(0x01700000, 1024), Bytes(1024, 0xFF));
    // A parameter block with no area open, or outside it, is refused.
    Feed(ParamBlockFrame(0x10000, first24));
    Feed(AreaOpen(0x20000, 0x100));
    Feed(ParamBlockFrame(0x20000, first24));
    EXPECT_EQ(Codes(), (std::vector<int>{3, 2, 3}));
}

TEST_F(ModemSideTest, OtherAnswerStyles) {
    host.settings.answers = fleetsim::AnswerStyle::Bare;
    Feed(Greeting());
    Feed(Frame({0xA0}, true));
    EXPECT_EQ(host.Take(), (Bytes{0x02, 0x03}));
    host.settings.answers = fleetsim::AnswerStyle::Ok;
    Feed(Greeting());
    EXPECT_EQ(host.Take(), (Bytes{'O', 'K'}));
}

TEST_F(ModemSideTest, AWrongFaultHoldsForTheImmediateRetriesOnly) {
    host.plan.Add({Fault::Kind::Wrong, Step::Greeting, 1, 0});
    host.plan.Add({Fault::Kind::Wrong, Step::Block, 2, 0});
    host.plan.Add({Fault::Kind::Wrong, Step::Open, 1, 0});
    for (int i = 0; i < 5; ++i) {
        Feed(Greeting());
    }
    EXPECT_EQ(Codes(), (std::vector<int>{2, 3, 3, 3, 3}));
    Feed(AreaOpen(0, 0x2000));
    for (int i = 0; i < 3; ++i) {
        Feed(Pattern(1024, 30 + static_cast<uint32_t>(i)));
    }
    Feed(AreaOpen(0x4000, 0x1000));
    Feed(AreaOpen(0x4000, 0x1000));
    Feed(Greeting());
    Feed(AreaOpen(0x4000, 0x1000));
    EXPECT_EQ(Codes(), (std::vector<int>{2, 2, 2, 3, 3, 3, 2, 2}));
    EXPECT_EQ(flash.Extent(), 2048u) << "the refused block is not written";
}

}  // namespace
