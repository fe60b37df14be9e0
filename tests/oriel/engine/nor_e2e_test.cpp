// NOR download, erase and dump end to end against the simulated handset, with
// the bytes checked on the handset's side (its NOR, and its NOR file).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "oriel/engine/nor_sectors.h"
#include "tests/support/sim_session.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using orielsim::Fault;
using orielsim::Step;

Bytes Random(size_t n, unsigned seed) {
    Bytes b(n);
    std::mt19937 rng(seed);
    for (uint8_t& x : b) {
        x = static_cast<uint8_t>(rng());
    }
    return b;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), {});
}

class NorE2E : public ::testing::Test, protected testsupport::CSimSession {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/oriel_nor_e2e_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
    }
    void TearDown() override {
        session.Stop();
        if (handset) {
            handset->Stop();
        }
        for (const char* name :
             {"nor.bin", "a.bin", "b.bin", "c.bin", "out.hex", "out.hex.incomplete"}) {
            unlink((m_dir + "/" + name).c_str());
        }
        rmdir(m_dir.c_str());
    }
    // Boots the handset and identifies its flash in Mode TAT at 921600.
    void Identify(orielsim::HandsetOptions o = {}, oriel::HandshakeSettings s = {}) {
        o.strNorFile = m_dir + "/nor.bin";
        std::string error;
        ASSERT_TRUE(BootAndIdentify(o, error, s)) << error;
        session.Download().m_controls.nTab = oriel::kTabTamarin2;
    }
    std::string Write(const char* name, const Bytes& b) {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return path;
    }
    std::string LastMessage() const {
        return prompts.m_messages.empty() ? "" : prompts.m_messages.back().text;
    }
    std::string m_dir;
};

TEST_F(NorE2E, AMainBinaryLandsByteExactAndLeavesOtherSectorsAlone) {
    Identify();
    const Bytes before(0x20000, 0x5A);
    ASSERT_TRUE(handset->WriteNor(0x00000, before));             // sectors 0-3
    ASSERT_TRUE(handset->WriteNor(0x20000 + 0x180000, before));  // the sector after the image
    const Bytes image = Random(0x180000, 1);                     // 1.5 MB
    session.Download().m_controls.astrBinPath[2] = Write("b.bin", image);
    ASSERT_TRUE(session.Download().DownloadMainBinary());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(LastMessage(), "Download completed!") << console.m_strLog;
    EXPECT_EQ(handset->ReadNor(0x20000, image.size()), image);
    EXPECT_EQ(handset->ReadNor(0x00000, before.size()), before);
    EXPECT_EQ(handset->ReadNor(0x1A0000, before.size()), before);
    ASSERT_TRUE(handset->LastCrcAnnounced().has_value());
    EXPECT_EQ(handset->LastCrcAnnounced(), handset->LastCrcComputed());

    // The NOR file holds the same bytes once the handset is gone.
    session.Stop();
    handset->Stop();
    const Bytes nor = ReadFile(m_dir + "/nor.bin");
    ASSERT_EQ(nor.size(), 16u * 1024 * 1024);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), nor.begin() + 0x20000));
    EXPECT_EQ(nor[0x10], 0x5A);
}

TEST_F(NorE2E, AllDownloadWritesTheThreeImagesAtTheirAddresses) {
    Identify();
    const Bytes boot = Random(40000, 2), main = Random(300000, 3), bp = Random(2048 * 3, 4);
    auto& c = session.Download().m_controls;
    c.astrBinPath[1] = Write("a.bin", boot);
    c.astrBinPath[2] = Write("b.bin", main);
    c.astrBinPath[3] = Write("c.bin", bp);
    ASSERT_TRUE(session.Download().DownloadAll());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Download All completed!"});
    EXPECT_EQ(handset->ReadNor(0, boot.size()), boot);
    EXPECT_EQ(handset->ReadNor(0x20000, main.size()), main);
    EXPECT_EQ(handset->ReadNor(0xB00000, bp.size()), bp);
    EXPECT_EQ(session.Download().m_bDownloadAll, 0);
}

TEST_F(NorE2E, AutoDownLoadRunsAllDownloadOnceTheFlashIsKnown) {
    const Bytes boot = Random(100, 5), main = Random(200, 6), bp = Random(300, 7);
    // The files are set before START, as the dialog's settings would hold them.
    session.Download().m_controls.nTab = oriel::kTabTamarin2;
    auto& c = session.Download().m_controls;
    c.astrBinPath[1] = Write("a.bin", boot);
    c.astrBinPath[2] = Write("b.bin", main);
    c.astrBinPath[3] = Write("c.bin", bp);
    orielsim::HandsetOptions o;
    o.bPace = false;
    std::string error;
    ASSERT_TRUE(Boot(o, error));
    oriel::HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    s.bAuto = 1;
    ASSERT_TRUE(session.Start(s));
    ASSERT_TRUE(RunUntil([this] { return !prompts.m_messages.empty(); }, 30s));
    EXPECT_EQ(LastMessage(), "Download All completed!");
    EXPECT_EQ(handset->ReadNor(0xB00000, bp.size()), bp);
}

TEST_F(NorE2E, PowerOnAfterDownloadReleasesTheHandsetAndClosesThePort) {
    Identify();
    session.Download().m_controls.astrBinPath[2] = Write("b.bin", Random(5000, 8));
    session.Download().m_controls.bPowerOn = true;
    ASSERT_TRUE(session.Download().DownloadMainBinary());
    ASSERT_TRUE(RunToIdle());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(console.m_strLog.ends_with("\r\n** Close COM port\r\n"));
    ASSERT_TRUE(
        RunUntil([this] { return handset->Stage() != orielsim::HandsetStage::BootLoader; }, 2s));
    bool bSawPowerOn = false;
    for (const auto& cmd : handset->Commands()) {
        bSawPowerOn = bSawPowerOn || cmd.byCommand == 0xFD;
    }
    EXPECT_TRUE(bSawPowerOn);
}

TEST_F(NorE2E, EraseClearsTheChosenSectorsInAscendingOrder) {
    Identify();
    const Bytes zeros(0x20000, 0x00);
    for (uint32_t offset : {0x10000u, 0x20000u, 0x40000u, 0xFF8000u}) {
        ASSERT_TRUE(handset->WriteNor(
            offset, Bytes(offset == 0xFF8000u || offset == 0x10000u ? 0x8000 : 0x20000, 0)));
    }
    handset->ClearCommands();
    prompts.m_sectorAnswers.push_back({133, 5, 2});
    ASSERT_TRUE(session.Erase().StartErase());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(LastMessage(), "Erasing Completed!");
    EXPECT_EQ(console.m_nProgressMax, 3);
    EXPECT_EQ(console.m_nProgressPos, 3);
    EXPECT_EQ(handset->ReadNor(0x10000, 0x8000), Bytes(0x8000, 0xFF));
    EXPECT_EQ(handset->ReadNor(0x40000, 0x20000), Bytes(0x20000, 0xFF));
    EXPECT_EQ(handset->ReadNor(0xFF8000, 0x8000), Bytes(0x8000, 0xFF));
    EXPECT_EQ(handset->ReadNor(0x20000, 0x20000), zeros);  // sector 4 was not chosen
    std::vector<uint32_t> erased;
    for (const auto& cmd : handset->Commands()) {
        if (cmd.byCommand == 0xD5) {
            erased.push_back(cmd.nValue);
        }
    }
    EXPECT_EQ(erased, (std::vector<uint32_t>{0x10000, 0x40000, 0xFF8000}));
}

TEST_F(NorE2E, DumpsReadBackExactlyWhatTheSectorsHold) {
    Identify();
    const Bytes s0 = Random(0x8000, 9), s4 = Random(0x20000, 10), s6 = Random(0x20000, 11);
    ASSERT_TRUE(handset->WriteNor(0, s0));
    ASSERT_TRUE(handset->WriteNor(0x20000, s4));
    ASSERT_TRUE(handset->WriteNor(0x60000, s6));
    prompts.m_sectorAnswers.push_back({0});
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    ASSERT_TRUE(session.Dump().StartNorDump());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(LastMessage(), "Dump Completed!");
    EXPECT_EQ(ReadFile(m_dir + "/out.hex"), s0);

    prompts.m_sectorAnswers.push_back({4, 6});
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    ASSERT_TRUE(session.Dump().StartNorDump());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(LastMessage(), "Dump Completed!");
    Bytes both = s4;
    both.insert(both.end(), s6.begin(), s6.end());
    EXPECT_EQ(ReadFile(m_dir + "/out.hex"), both);
    EXPECT_NE(console.m_strLog.find("** (Total 256 KBytes) **"), std::string::npos);
}

// Stop between a block request and its reply used to leave block mode on: the
// next START never woke the engine and hung at "Wait for Connect Request".
TEST_F(NorE2E, StopMidDumpThenStartIdentifiesTheFlashAgain) {
    Identify();
    prompts.m_sectorAnswers.push_back({4, 5, 6, 7, 8, 9, 10});
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    ASSERT_TRUE(session.Dump().StartNorDump());
    ASSERT_TRUE(RunUntil([&] { return session.Dump().m_nDumpDoneKB >= 16; }, 10s));
    session.Stop();
    ASSERT_TRUE(RunUntil([&] { return handset->Stage() == orielsim::HandsetStage::Off; }, 2s));
    oriel::HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    s.nSpeedIndex = 3;
    ASSERT_TRUE(Connect(s, 10s));
    EXPECT_EQ(session.Engine().m_bIdentified, 1) << console.m_strLog;
    // And the new connection works: a dump of its own completes.
    prompts.m_sectorAnswers.push_back({0});
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    ASSERT_TRUE(session.Dump().StartNorDump());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(LastMessage(), "Dump Completed!");
}

// The handset vanishing mid-dump ends the operation at once, as Stop would,
// with a message, instead of leaving it waiting in silence.
TEST_F(NorE2E, AHandsetThatVanishesMidDumpEndsTheDumpAtOnce) {
    Identify();
    prompts.m_sectorAnswers.push_back({4, 5, 6, 7, 8, 9, 10});
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    ASSERT_TRUE(session.Dump().StartNorDump());
    ASSERT_TRUE(RunUntil([&] { return session.Dump().m_nDumpDoneKB >= 16; }, 10s));
    handset->Stop();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunUntil([&] { return !session.IsConnected(); }, 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_EQ(LastMessage(), "The handset's port went away!");
    EXPECT_NE(console.m_strLog.find("** Dump FAILED (the handset's port went away): "),
              std::string::npos)
        << console.m_strLog;
    EXPECT_TRUE(console.m_strLog.ends_with(" **\r\n"));
    EXPECT_NE(console.m_strLog.find("** The handset's port went away ("), std::string::npos);
    EXPECT_EQ(session.Engine().m_nState, oriel::STATE_NONE);
    EXPECT_EQ(session.Engine().m_bIdentified, 0);
    EXPECT_FALSE(console.m_bConnected);
    struct stat st {};
    EXPECT_NE(stat((m_dir + "/out.hex").c_str(), &st), 0);
    EXPECT_EQ(stat((m_dir + "/out.hex.incomplete").c_str(), &st), 0);
}

TEST_F(NorE2E, VerifyAfterDownloadPassesThenFindsAFlashByteChangedLater) {
    Identify();
    const Bytes image = Random(0x30000 + 1234, 21);
    session.Download().m_controls.astrBinPath[2] = Write("b.bin", image);
    session.Download().m_controls.bVerify = true;
    ASSERT_TRUE(session.Download().DownloadMainBinary());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"Download completed!", "Verify completed!"}))
        << console.m_strLog;
    EXPECT_TRUE(session.Verify().m_bMatched);
    EXPECT_EQ(session.Verify().m_nCheckedBytes, static_cast<int64_t>(image.size()));
    // The handset's flash changes under the image: verification alone finds it.
    ASSERT_TRUE(handset->WriteNor(0x20000 + 0x25000, Bytes{static_cast<uint8_t>(~image[0x25000])}));
    prompts.m_messages.clear();
    ASSERT_TRUE(session.Verify().Start({{m_dir + "/b.bin", 0x20000}}));
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(LastMessage(), "Verify failed! (0x10045000)");
    EXPECT_EQ(session.Verify().m_nFirstDiff, 0x10045000u);
}

TEST_F(NorE2E, ACorruptedDumpBlockEndsWithChecksumMismatched) {
    orielsim::HandsetOptions o;
    o.faults.push_back({Fault::Kind::WrongReply, Step::DumpSum, 5});
    Identify(o);
    prompts.m_sectorAnswers.push_back({4});
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    ASSERT_TRUE(session.Dump().StartNorDump());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(LastMessage(), "Checksum mismatched!");
    struct stat st {};
    EXPECT_NE(stat((m_dir + "/out.hex").c_str(), &st), 0);
    ASSERT_EQ(stat((m_dir + "/out.hex.incomplete").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5 * 8192);
}

TEST_F(NorE2E, AWrongSectorSumEndsTheDownload) {
    orielsim::HandsetOptions o;
    o.faults.push_back({Fault::Kind::WrongReply, Step::SectorSum, 5});
    Identify(o);
    session.Download().m_controls.astrBinPath[2] = Write("b.bin", Random(0x60000, 12));
    ASSERT_TRUE(session.Download().DownloadMainBinary());
    ASSERT_TRUE(RunToIdle());
    EXPECT_TRUE(prompts.m_messages.empty());
    EXPECT_NE(console.m_strLog.find("Address 0x10040000... Fail to download sector(send("),
              std::string::npos)
        << console.m_strLog;
    EXPECT_TRUE(console.m_bControlsEnabled);
}

TEST_F(NorE2E, AWrongEraseReplyEndsTheErase) {
    orielsim::HandsetOptions o;
    o.faults.push_back({Fault::Kind::WrongReply, Step::EraseSum, 10});
    Identify(o);
    prompts.m_sectorAnswers.push_back({9, 10, 11});
    ASSERT_TRUE(session.Erase().StartErase());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(LastMessage(), "Fail to erase sector!");
    EXPECT_EQ(console.m_nProgressPos, 1);
}

TEST_F(NorE2E, AHandsetThatFallsSilentMidSectorLeavesTheHostWaiting) {
    orielsim::HandsetOptions o;
    o.faults.push_back({Fault::Kind::StopAfter, Step::ChunkAck, 10});
    Identify(o);
    session.Download().m_controls.astrBinPath[2] = Write("b.bin", Random(0x20000, 13));
    ASSERT_TRUE(session.Download().DownloadMainBinary());
    EXPECT_FALSE(RunToIdle(1500ms));
    EXPECT_EQ(session.Engine().m_nState, oriel::WAIT_CHUNK_ACK);
    EXPECT_EQ(session.Download().m_nChunkCount, 11);
    session.Stop();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(session.Engine().m_bBinFileOpen, 0);
}

}  // namespace
