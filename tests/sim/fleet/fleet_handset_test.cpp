// The simulated fleet handsets driven over their pseudo-terminals by a raw
// tty client, as the host would: detection, RAM and flash programming with
// acknowledgements, B000FF streaming, the switch-over to the modem port, the
// modem's frames and blocks, and every fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sim/common/reply_chaos.h"
#include "sim/fleet/fleet_handset.h"
#include "tests/sim/fleet/fleet_test_support.h"

namespace {

using namespace fleetsimtest;
using fleetsim::Fault;
using fleetsim::HandsetStage;
using fleetsim::Step;

class FleetTest : public ::testing::Test {
  protected:
    void Start(int nCount = 1, const std::vector<Fault>& faults = {}) {
        options.strDir = dir.File("dev");
        options.strStoreDir = dir.File("store");
        options.nCount = nCount;
        options.faults = faults;
        fleet = std::make_unique<fleetsim::CHandsetFleet>(options);
        std::string error;
        ASSERT_TRUE(fleet->Start(error)) << error;
    }
    fleetsim::CSimHandset& H(int i = 0) { return fleet->Handset(i); }
    std::string Store(int i, const std::string& file) { return H(i).StoreDir() + "/" + file; }

    // Opens the PDA interface and exchanges detection's handshake.
    std::unique_ptr<Client> Handshake(int i = 0) {
        auto c = std::make_unique<Client>(H(i).PdaLinkPath());
        if (!c->IsOpen()) {
            ADD_FAILURE() << "cannot open " << H(i).PdaLinkPath();
            return nullptr;
        }
        c->Send({'A', 'T', 'U', 'D'});
        if (c->Read(4) != Bytes{'O', 'K', 'U', 'D'}) {
            ADD_FAILURE() << "no O K U D";
            return nullptr;
        }
        return c;
    }
    // Does what detection does.
    std::unique_ptr<Client> Attach(int i = 0) {
        auto c = Handshake(i);
        if (c) {
            c->Send(Command(13));
        }
        return c;
    }

    // Switches the handset over and opens its modem port.
    std::unique_ptr<Client> SwitchToModem(std::unique_ptr<Client>& pda, int i = 0) {
        pda->Send(Command(11));
        EXPECT_EQ(pda->Read(4), Word(11));
        pda->Send(Command(15, 0x9CA80000));
        EXPECT_EQ(pda->Read(4), Word(15));
        pda.reset();
        if (!WaitFor([&] { return IsLink(H(i).ModemLinkPath()); })) {
            ADD_FAILURE() << "the modem link did not appear";
            return nullptr;
        }
        auto c = std::make_unique<Client>(H(i).ModemLinkPath());
        EXPECT_TRUE(c->IsOpen());
        EXPECT_TRUE(WaitFor([&] { return H(i).ModemHostConnected(); }));
        return c;
    }

    // One answer: a frame up to its closing flag, or what a bare/OK answer is.
    Bytes Answer(Client& c, std::chrono::milliseconds timeout = 2000ms) {
        Bytes b = c.Read(1, timeout);
        if (b.empty() || b[0] != 0x7E) {
            return b;
        }
        while (b.size() < 64) {
            const Bytes next = c.Read(1, timeout);
            if (next.empty()) {
                break;
            }
            b.push_back(next[0]);
            if (next[0] == 0x7E) {
                break;
            }
        }
        return b;
    }
    int Exchange(Client& c, const Bytes& frame) {
        c.Send(frame);
        return ResponseCode(Answer(c));
    }

    CTempDir dir;
    fleetsim::FleetOptions options = [] {
        fleetsim::FleetOptions o;
        o.settings.nModemDelayMs = 100;
        o.settings.nVerifyDelayMs = 50;
        o.settings.nSignatureDelayMs = 50;
        return o;
    }();
    std::unique_ptr<fleetsim::CHandsetFleet> fleet;
};

// --- detection -------------------------------------------------------------

TEST_F(FleetTest, HandsetsArePublishedWithTheirOwnSerialsLinksAndStores) {
    Start(3);
    for (int i = 0; i < 3; ++i) {
        const std::string serial = "FSIM000" + std::to_string(i + 1);
        EXPECT_EQ(H(i).Serial(), serial);
        EXPECT_EQ(H(i).PdaLinkPath(), dir.File("dev") + "/usb-Sim_Handset_" + serial + "-if01");
        EXPECT_TRUE(IsLink(H(i).PdaLinkPath()));
        EXPECT_FALSE(IsLink(H(i).ModemLinkPath()));
        EXPECT_EQ(std::filesystem::read_symlink(H(i).PdaLinkPath()).string(), H(i).PdaSlavePath());
        EXPECT_TRUE(std::filesystem::is_directory(H(i).StoreDir() + "/modem"));
        EXPECT_EQ(H(i).Stage(), HandsetStage::Pda);
    }
    EXPECT_NE(H(0).PdaSlavePath(), H(1).PdaSlavePath());
    auto c = Attach(1);
    ASSERT_TRUE(c);
    EXPECT_TRUE(WaitFor([&] { return H(1).Pda().bAttached; }));
    EXPECT_EQ(H(0).Pda().nHandshakes, 0);
    EXPECT_EQ(H(1).Pda().nHandshakes, 1);
    fleet->Stop();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(std::filesystem::exists(dir.File("dev") + "/usb-Sim_Handset_FSIM000" +
                                             std::to_string(i + 1) + "-if01"));
    }
    const Bytes log = ReadFileBytes(dir.File("store") + "/FSIM0002/log.txt");
    EXPECT_NE(std::string(log.begin(), log.end()).find("A T U D answered O K U D"),
              std::string::npos);
}

TEST_F(FleetTest, AWrongHandshakeAnswerThenTheNextAttemptSucceeds) {
    Start(1, {{Fault::Kind::Wrong, Step::Okud, 0, 0}});
    {
        Client c(H().PdaLinkPath());
        c.Send({'A', 'T', 'U', 'D'});
        EXPECT_EQ(c.Read(4), (Bytes{'O', 'K', 'U', 'X'}));
    }
    ASSERT_TRUE(WaitFor([&] { return !H().PdaHostConnected(); }));
    EXPECT_TRUE(Attach());
    EXPECT_EQ(H().FaultsFired(), 1);
}

// --- PDA programming -------------------------------------------------------

TEST_F(FleetTest, RamWritesAndProgrammingLeaveTheImagesInTheStores) {
    Start();
    auto c = Attach();
    ASSERT_TRUE(c);
    // EBOOT: transfer, then PDA_PROGRAM (no acknowledgements).
    const Bytes eboot = Pattern(0x30000, 40);
    ASSERT_TRUE(c->Send(RamTransfer(kRam, eboot)));
    c->Send(Command(4, kRam, 0x30000, kFlashBase));
    // The raw PDA image: transfer, PDA_PROGRAM_RAW, acknowledgements.
    const Bytes image = Pattern(30000, 41);
    ASSERT_TRUE(c->Send(RamTransfer(kRam, image)));
    c->Send(Command(12, kRam, 0x51000 + 30000, kFlashBase));
    Bytes acks;
    for (int i = 0; i < 30000 / 520; ++i) {
        acks.insert(acks.end(), kOkup.begin(), kOkup.end());
    }
    EXPECT_EQ(c->Read(acks.size()), acks);
    EXPECT_TRUE(c->Read(1, 200ms).empty()) << "no more acknowledgements than blocks";
    c->Send(Command(2, 0x9CA80000));
    ASSERT_TRUE(WaitFor([&] { return H().Pda().nFinalCommand == 2; }));

    EXPECT_EQ(H().Eboot(), eboot);
    EXPECT_EQ(H().PdaImage(), image);
    EXPECT_EQ(ReadFileBytes(Store(0, "eboot.bin")), eboot);
    EXPECT_EQ(ReadFileBytes(Store(0, "pda_flash.bin")), image);
    const Bytes ram = ReadFileBytes(Store(0, "ram.bin"));
    ASSERT_EQ(ram.size(), kRam - 0x80000000u + eboot.size());
    EXPECT_EQ(Bytes(ram.begin() + (kRam - 0x80000000u), ram.begin() + (kRam - 0x80000000u) + 30000),
              image);
    EXPECT_EQ(H().ReadFlash(kOsBase, 30000), image);
    const fleetsim::PdaRecord rec = H().Pda();
    ASSERT_EQ(rec.programs.size(), 2u);
    EXPECT_EQ(rec.programs[0].nCommand, 4u);
    EXPECT_EQ(rec.programs[1].nCommand, 12u);
    EXPECT_EQ(rec.programs[1].nAcks, 57);
    EXPECT_EQ(rec.nRefused, 0);
}

TEST_F(FleetTest, EraseTransferAcknowledgeAndVerifyTheChecksum) {
    Start();
    auto c = Attach();
    ASSERT_TRUE(c);
    const Bytes region = Pattern(10400, 42);  // 20 blocks of 520
    c->Send(Command(6, kOsBase, 10400));
    EXPECT_EQ(c->Read(4), Word(6));
    ASSERT_TRUE(c->Send(RamTransfer(kRam, region)));
    for (int j = 0; j < 20; ++j) {
        ASSERT_EQ(c->Read(4), kOkup) << "acknowledgement " << j;
    }
    c->Send(Command(10, kOsBase, 10400));
    EXPECT_EQ(c->Read(4), Word(10));
    EXPECT_EQ(Get32(c->Read(4)), Sum32(region));
    EXPECT_EQ(ReadFileBytes(Store(0, "pda_flash.bin")), region);
}

TEST_F(FleetTest, ASmallB000ffStreamIsReassembledIntoTheImagePartition) {
    Start();
    auto c = Attach();
    ASSERT_TRUE(c);
    const Bytes image = B000ffImage(2, 5000, 43);
    c->Send(Command(16, kRam, 0x51000 + static_cast<uint32_t>(image.size()), kFlashBase));
    ASSERT_TRUE(c->Send(StreamImage(image)));
    c->Send(Command(11));
    EXPECT_EQ(c->Read(4), Word(11)) << "nothing is answered during the stream";
    const fleetsim::StreamRecord s = H().Stream();
    EXPECT_TRUE(s.bComplete) << s.strFailure;
    EXPECT_EQ(s.nRecords, 3);
    EXPECT_EQ(s.nBytes, image.size());
    EXPECT_EQ(ReadFileBytes(Store(0, "pda_flash.bin")), image);
}

// --- switch-over and modem ---------------------------------------------------

TEST_F(FleetTest, TheSwitchRemovesThePdaLinkAndPublishesTheModemLinkAMomentLater) {
    options.settings.nModemDelayMs = 300;
    Start();
    auto c = Attach();
    ASSERT_TRUE(c);
    const std::string pdaSlave = H().PdaSlavePath();
    c->Send(Command(11));
    EXPECT_EQ(c->Read(4), Word(11));
    c->Send(Command(15, 0x9CA80000));
    EXPECT_EQ(c->Read(4), Word(15));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitFor([&] { return !IsLink(H().PdaLinkPath()); }, 100ms));
    EXPECT_EQ(H().Stage(), HandsetStage::Switching);
    EXPECT_FALSE(IsLink(H().ModemLinkPath()));
    c.reset();  // the host closes the PDA port
    EXPECT_TRUE(WaitFor([&] { return H().PdaSlavePath().empty(); }));
    ASSERT_TRUE(WaitFor([&] { return IsLink(H().ModemLinkPath()); }));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
    EXPECT_EQ(H().Stage(), HandsetStage::Modem);
    EXPECT_EQ(std::filesystem::read_symlink(H().ModemLinkPath()).string(), H().ModemSlavePath());
    Client m(H().ModemLinkPath());
    ASSERT_TRUE(m.IsOpen());
    EXPECT_EQ(Exchange(m, Greeting()), 2);
}

TEST_F(FleetTest, ModemGreetingAreasBlocksParameterBlockAndLaunch) {
    Start();
    auto pda = Attach();
    ASSERT_TRUE(pda);
    auto m = SwitchToModem(pda);
    ASSERT_TRUE(m);
    // The host's greeting: once without waiting, then as an exchange.
    m->Send(Greeting());
    EXPECT_EQ(ResponseCode(Answer(*m)), 2);
    EXPECT_EQ(Exchange(*m, Greeting()), 2);
    // An area of 5 blocks.
    const Bytes code = Pattern(5 * 1024, 44);
    EXPECT_EQ(Exchange(*m, AreaOpen(0x380000, 5 * 1024)), 2);
    for (int i = 0; i < 5; ++i) {
        const Bytes block(code.begin() + i * 1024, code.begin() + (i + 1) * 1024);
        ASSERT_EQ(Exchange(*m, block), 2) << "block " << i;
    }
    // The next area: greeting, open, parameter block.
    EXPECT_EQ(Exchange(*m, Greeting()), 2);
    EXPECT_EQ(Exchange(*m, AreaOpen(0x4000, 0x4000)), 2);
    const Bytes first24 = Pattern(24, 45);
    EXPECT_EQ(Exchange(*m, ParamBlockFrame(0x4000, first24)), 2);
    EXPECT_EQ(Exchange(*m, Greeting()), 2);
    EXPECT_EQ(Exchange(*m, EfsErase()), 2);
    EXPECT_EQ(Exchange(*m, LaunchFrame()), 2);

    EXPECT_EQ(H().ModemArea(0x380000), code);
    EXPECT_EQ(ReadFileBytes(Store(0, "modem/00380000.bin")), code);
    Bytes param(512, 0xFF);
    std::copy(first24.begin(), first24.end(), param.begin());
    EXPECT_EQ(ReadFileBytes(Store(0, "modem/00004000.bin")), param);
    // Both sides in one record, in the order they came; the store has it
    // once the handset stops.
    const std::vector<std::string> received = {
        "pda A T U D",
        "pda PDA_ATTACHED 0x00000000 0x00000000 0x00000000",
        "pda PDA_SWITCH_PREPARE 0x00000000 0x00000000 0x00000000",
        "pda PDA_SWITCH_TO_PHONE 0x9CA80000 0x00000000 0x00000000",
        "modem A0",
        "modem A0",
        "modem EF 0x00380000+5120",
        "modem data x5",
        "modem A0",
        "modem EF 0x00004000+16384",
        "modem FF 0x00004000",
        "modem A0",
        "modem E0",
        "modem C0 10 10 00 00"};
    EXPECT_EQ(H().Received(), received);
    H().Stop();
    std::string text;
    for (const std::string& line : received) {
        text += line + "\n";
    }
    const Bytes stored = ReadFileBytes(Store(0, "received.txt"));
    EXPECT_EQ(std::string(stored.begin(), stored.end()), text);
    const fleetsim::ModemRecord rec = H().Modem();
    EXPECT_TRUE(rec.bLaunched);
    EXPECT_EQ(rec.nEfsErases, 1);
    EXPECT_EQ(rec.nBadFrames, 0);
    EXPECT_EQ(rec.nBlocks, 5);
    ASSERT_EQ(rec.areas.size(), 2u);
    EXPECT_EQ(rec.areas[0].nBlocks, 5);
}

TEST_F(FleetTest, ABadFcsOnTheModemPortIsNotAcknowledged) {
    Start();
    auto pda = Attach();
    ASSERT_TRUE(pda);
    auto m = SwitchToModem(pda);
    ASSERT_TRUE(m);
    const Bytes nak = Answer(*m, 10ms);  // nothing pending
    EXPECT_TRUE(nak.empty());
    m->Send(Frame({0xA0}, true));
    const Bytes answer = Answer(*m);
    EXPECT_EQ(DecodeAnswer(answer), Bytes{0x03});
    EXPECT_EQ(ResponseCode(answer), 3);
    EXPECT_EQ(Exchange(*m, Greeting()), 2);
    EXPECT_EQ(H().Modem().nBadFrames, 1);
}

TEST_F(FleetTest, TheOkAnswerStyle) {
    options.settings.answers = fleetsim::AnswerStyle::Ok;
    Start();
    auto pda = Attach();
    ASSERT_TRUE(pda);
    auto m = SwitchToModem(pda);
    ASSERT_TRUE(m);
    m->Send(Greeting());
    EXPECT_EQ(m->Read(2), (Bytes{'O', 'K'}));
}

// --- faults ----------------------------------------------------------------

TEST_F(FleetTest, WrongAcknowledgementAtBlockK) {
    Start(2, {{Fault::Kind::Wrong, Step::Ack, 7, 1}});
    auto c = Attach(0);
    auto other = Attach(1);
    ASSERT_TRUE(c && other);
    for (Client* p : {c.get(), other.get()}) {
        p->Send(Command(6, kOsBase, 5200));
        EXPECT_EQ(p->Read(4), Word(6));
        ASSERT_TRUE(p->Send(RamTransfer(kRam, Pattern(5200, 46))));
    }
    for (int j = 0; j < 7; ++j) {
        ASSERT_EQ(c->Read(4), kOkup);
    }
    EXPECT_EQ(c->Read(4), kFail);
    EXPECT_TRUE(c->Read(4, 200ms).empty());
    // Handset 2 was not told to fail.
    for (int j = 0; j < 10; ++j) {
        ASSERT_EQ(other->Read(4), kOkup);
    }
}

TEST_F(FleetTest, WrongDeviceChecksum) {
    Start(1, {{Fault::Kind::Wrong, Step::Checksum, 0, 0}});
    auto c = Attach();
    ASSERT_TRUE(c);
    const Bytes region = Pattern(2080, 47);
    c->Send(Command(6, kOsBase, 2080));
    c->Read(4);
    c->Send(RamTransfer(kRam, region));
    c->Read(16);
    c->Send(Command(10, kOsBase, 2080));
    EXPECT_EQ(c->Read(4), Word(10));
    EXPECT_EQ(Get32(c->Read(4)), Sum32(region) + 1);
    // Only the first verification is spoiled.
    c->Send(Command(10, kOsBase, 2080));
    c->Read(4);
    EXPECT_EQ(Get32(c->Read(4)), Sum32(region));
}

TEST_F(FleetTest, BadAnswersToGreetingAreaOpenAndDataBlock) {
    Start(1, {{Fault::Kind::Wrong, Step::Greeting, 2, 0},
              {Fault::Kind::Wrong, Step::Open, 1, 0},
              {Fault::Kind::Wrong, Step::Block, 3, 0}});
    auto pda = Attach();
    ASSERT_TRUE(pda);
    auto m = SwitchToModem(pda);
    ASSERT_TRUE(m);
    // Area 1: greeting 0 and 1 pass, the open passes, block 3 is refused.
    EXPECT_EQ(Exchange(*m, Greeting()), 2);
    EXPECT_EQ(Exchange(*m, Greeting()), 2);
    EXPECT_EQ(Exchange(*m, AreaOpen(0, 8192)), 2);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Exchange(*m, Pattern(1024, 50 + static_cast<uint32_t>(i))), 2);
    }
    EXPECT_EQ(Exchange(*m, Pattern(1024, 53)), 3);
    // Area 2: greeting 2 and every retry right after it are refused.
    for (int attempt = 0; attempt < 11; ++attempt) {
        EXPECT_EQ(Exchange(*m, Greeting()), 3) << "attempt " << attempt;
    }
    // After something else the greeting is answered again; open 1 is refused,
    // and so are its retries.
    EXPECT_EQ(Exchange(*m, EfsErase()), 2);
    EXPECT_EQ(Exchange(*m, Greeting()), 2);
    for (int attempt = 0; attempt < 10; ++attempt) {
        EXPECT_EQ(Exchange(*m, AreaOpen(0x8000, 1024)), 3) << "attempt " << attempt;
    }
    EXPECT_EQ(H().ModemArea(0).size(), 3u * 1024);
    EXPECT_EQ(H().FaultsFired(), 3);
}

TEST_F(FleetTest, AModemPortThatNeverAppears) {
    options.settings.bNoModem = true;
    Start();
    auto c = Attach();
    ASSERT_TRUE(c);
    c->Send(Command(15, 0x9CA80000));
    EXPECT_EQ(c->Read(4), Word(15));
    c.reset();
    EXPECT_TRUE(WaitFor([&] { return !IsLink(H().PdaLinkPath()); }));
    EXPECT_FALSE(WaitFor([&] { return IsLink(H().ModemLinkPath()); }, 800ms));
    EXPECT_EQ(H().Stage(), HandsetStage::Switching);
    EXPECT_TRUE(H().ModemSlavePath().empty());
}

TEST_F(FleetTest, AModemPortThatAppearsLate) {
    options.settings.nModemDelayMs = 1200;
    Start();
    auto c = Attach();
    ASSERT_TRUE(c);
    c->Send(Command(15, 0x9CA80000));
    EXPECT_EQ(c->Read(4), Word(15));
    const auto t0 = std::chrono::steady_clock::now();
    c.reset();
    EXPECT_FALSE(WaitFor([&] { return IsLink(H().ModemLinkPath()); }, 900ms));
    ASSERT_TRUE(WaitFor([&] { return IsLink(H().ModemLinkPath()); }, 2000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1150ms);
    Client m(H().ModemLinkPath());
    EXPECT_EQ(Exchange(m, Greeting()), 2);
}

TEST_F(FleetTest, AHandsetThatGoesSilentMidTransfer) {
    Start(1, {{Fault::Kind::Silent, Step::Ram, 3, 0}});
    auto c = Attach();
    ASSERT_TRUE(c);
    c->Send(Command(6, kOsBase, 6048));
    EXPECT_EQ(c->Read(4), Word(6));
    ASSERT_TRUE(c->Send(RamTransfer(kRam, Pattern(6048, 48))));
    // Packets 0..2 (3024 bytes) made 5 blocks; then nothing more.
    for (int j = 0; j < 5; ++j) {
        ASSERT_EQ(c->Read(4), kOkup);
    }
    EXPECT_TRUE(c->Read(4, 300ms).empty());
    c->Send(Command(11));
    EXPECT_TRUE(c->Read(4, 300ms).empty());
    EXPECT_EQ(H().Stage(), HandsetStage::Silent);
    EXPECT_TRUE(IsLink(H().PdaLinkPath())) << "silent, not unplugged";
    EXPECT_EQ(H().ReadRam(kRam + 3024, 8), Bytes(8, 0)) << "the dropped packet is not written";
}

TEST_F(FleetTest, AHandsetThatGoesSilentOnTheModem) {
    Start(1, {{Fault::Kind::Silent, Step::Block, 1, 0}});
    auto pda = Attach();
    ASSERT_TRUE(pda);
    auto m = SwitchToModem(pda);
    ASSERT_TRUE(m);
    EXPECT_EQ(Exchange(*m, AreaOpen(0, 4096)), 2);
    EXPECT_EQ(Exchange(*m, Pattern(1024, 60)), 2);
    m->Send(Pattern(1024, 61));
    EXPECT_TRUE(Answer(*m, 300ms).empty());
    m->Send(Greeting());
    EXPECT_TRUE(Answer(*m, 300ms).empty());
}

TEST_F(FleetTest, UnpluggedMidStream) {
    Start(1, {{Fault::Kind::Unplug, Step::Stream, 4, 0}});
    auto c = Attach();
    ASSERT_TRUE(c);
    const Bytes image = B000ffImage(1, 0, 49);
    c->Send(Command(16, kRam, 0, kFlashBase));
    const Bytes s = StreamImage(image);
    c->Send(s, 1000ms);  // fails part-way once the line hangs up
    EXPECT_TRUE(WaitFor([&] { return H().Stage() == HandsetStage::Unplugged; }));
    EXPECT_FALSE(IsLink(H().PdaLinkPath()));
    EXPECT_TRUE(WaitFor([&] { return c->HungUp(); }));
    EXPECT_FALSE(c->Send(Command(11), 200ms));
    EXPECT_EQ(H().Stream().nPackets, 4);
    EXPECT_EQ(H().PdaImage().size(), 15u + 12 + 2 * 1008);
}

TEST_F(FleetTest, UnpluggedMidModemTransfer) {
    Start(1, {{Fault::Kind::Unplug, Step::Block, 2, 0}});
    auto pda = Attach();
    ASSERT_TRUE(pda);
    auto m = SwitchToModem(pda);
    ASSERT_TRUE(m);
    EXPECT_EQ(Exchange(*m, AreaOpen(0, 8192)), 2);
    EXPECT_EQ(Exchange(*m, Pattern(1024, 62)), 2);
    EXPECT_EQ(Exchange(*m, Pattern(1024, 63)), 2);
    m->Send(Pattern(1024, 64));
    EXPECT_TRUE(Answer(*m, 500ms).empty());
    EXPECT_TRUE(WaitFor([&] { return m->HungUp(); }));
    EXPECT_FALSE(IsLink(H().ModemLinkPath()));
    EXPECT_EQ(H().ModemArea(0).size(), 2048u);
}

TEST_F(FleetTest, FaultsOnDemand) {
    Start(2);
    auto a = Attach(0);
    auto b = Attach(1);
    ASSERT_TRUE(a && b);
    H(0).AddFault({Fault::Kind::Wrong, Step::Checksum, 0, 0});
    a->Send(Command(10, kOsBase, 16));
    a->Read(4);
    EXPECT_EQ(Get32(a->Read(4)), 16u * 0xFF + 1);
    H(0).GoSilent();
    EXPECT_EQ(H(0).Stage(), HandsetStage::Silent);
    a->Send(Command(11));
    EXPECT_TRUE(a->Read(4, 200ms).empty());
    H(1).Unplug();
    EXPECT_EQ(H(1).Stage(), HandsetStage::Unplugged);
    EXPECT_FALSE(IsLink(H(1).PdaLinkPath()));
    EXPECT_TRUE(WaitFor([&] { return b->HungUp(); }));
}

// --- pacing ------------------------------------------------------------------

TEST_F(FleetTest, PacingHoldsTheHostToTheRate) {
    options.settings.nPaceBytesPerSecond = 200000;
    Start();
    auto c = Attach();
    ASSERT_TRUE(c);
    const Bytes data = Pattern(100 * 1008, 70);  // 100 packets, 102400 bytes on the wire
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(c->Send(RamTransfer(kRam, data)));
    c->Send(Command(11));
    EXPECT_EQ(c->Read(4, 5000ms), Word(11));
    const auto took = std::chrono::steady_clock::now() - t0;
    // About half a second at 200 kB/s; some of it may sit in the line's buffers.
    EXPECT_GE(took, 350ms);
    EXPECT_LE(took, 3000ms);
    EXPECT_EQ(H().ReadRam(kRam, data.size()), data);
}

}  // namespace

// --- the hostile mode -------------------------------------------------------

namespace {

// A seed whose handset 1 first commits these faults, at rate 1, on its first
// 4-byte replies, and then gives its modem port the delay asked for (a
// negative one: never).
uint64_t SeedFor(const std::vector<simchaos::Fault>& faults, bool bNoModem) {
    for (uint64_t seed = 1;; ++seed) {
        simchaos::CSeededChaos chaos(simchaos::CSeededChaos::Derive(seed, 1), 1.0);
        bool bMatch = true;
        for (const simchaos::Fault f : faults) {
            Bytes reply(4, 0x55);
            std::string trace;
            bMatch = bMatch && chaos.OnReply(reply, trace) == f;
        }
        std::string trace;
        if (bMatch && (chaos.ModemPortDelay(100, trace) < 0) == bNoModem) {
            return seed;
        }
    }
}

}  // namespace

// Detection's handshake is answered as always; the reply after it meets its
// fault, and the log says which.
TEST_F(FleetTest, AHostileHandsetSparesTheHandshakeThenFlipsABitOfAReply) {
    options.chaos = {true, SeedFor({simchaos::Fault::FlipBit}, false), 1.0};
    Start();
    auto c = Handshake();
    ASSERT_TRUE(c);
    c->Send(Command(11));
    const Bytes reply = c->Read(4);
    ASSERT_EQ(reply.size(), 4u);
    int bits = 0;
    for (size_t i = 0; i < 4; ++i) {
        bits += __builtin_popcount(reply[i] ^ Word(11)[i]);
    }
    EXPECT_EQ(bits, 1);
    const auto log = H().Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.find("chaos: flipped bit") != std::string::npos;
    }));
}

TEST_F(FleetTest, AHostileHandsetsModemPortMayNeverAppear) {
    options.chaos = {true, SeedFor({simchaos::Fault::Drop, simchaos::Fault::Drop}, true), 1.0};
    Start();
    auto c = Handshake();
    ASSERT_TRUE(c);
    c->Send(Command(11));
    c->Send(Command(15, 0x9CA80000));
    EXPECT_TRUE(c->Read(8, 300ms).empty()) << "both replies dropped";
    EXPECT_TRUE(WaitFor([&] { return !IsLink(H().PdaLinkPath()); }));
    EXPECT_FALSE(WaitFor([&] { return IsLink(H().ModemLinkPath()); }, 800ms));
    const auto log = H().Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.find("chaos: the modem port will not appear") != std::string::npos;
    }));
}
