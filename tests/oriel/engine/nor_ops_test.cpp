// NOR download, erase and dump on the wire, driven by hand: the test plays the
// boot-loader through a pseudo-terminal and checks every byte the host sends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <vector>

#include "oriel/engine/console_view.h"
#include "oriel/engine/crc32.h"
#include "oriel/engine/downloader_engine.h"
#include "oriel/engine/nor_download.h"
#include "oriel/engine/nor_dump.h"
#include "oriel/engine/nor_erase.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/engine/time_log.h"
#include "oriel/link/serial_port.h"
#include "platform/format.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using namespace oriel;
using Bytes = std::vector<uint8_t>;

uint8_t Sum(const Bytes& b, size_t from = 0, size_t n = SIZE_MAX) {
    uint8_t s = 0;
    for (size_t i = from; i < b.size() && i < from + n; ++i) {
        s = static_cast<uint8_t>(s + b[i]);
    }
    return s;
}

Bytes Be(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class NorWire : public ::testing::Test {
  protected:
    void SetUp() override {
        BuildNorSectorMap();
        g_nNorSectors = kNorSectorCount;
        char dir[] = "/tmp/oriel_nor_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        settings.SetString("Ports", "COM1", pty.SlavePath());
        port.SetSettings(&settings);
        port.SetPrompts(&prompts);
        ASSERT_TRUE(port.Open(1, 921600, true));
        engine.m_bIdentified = 1;
        engine.m_nState = IDLE;
        engine.SetClock([] { return std::time_t{1000}; });
        download.SetStopAction([this] { ++nStops; });
        download.m_controls.nTab = kTabTamarin2;
    }
    void TearDown() override {
        for (const char* name :
             {"img.bin", "a.bin", "b.bin", "c.bin", "out.hex", "out.hex.incomplete"}) {
            unlink((m_dir + "/" + name).c_str());
        }
        rmdir(m_dir.c_str());
    }

    std::string MakeFile(const char* name, size_t n, Bytes* pContent = nullptr) {
        Bytes b(n);
        std::mt19937 rng(static_cast<unsigned>(n));
        for (uint8_t& x : b) {
            x = static_cast<uint8_t>(rng());
        }
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        if (pContent != nullptr) {
            *pContent = b;
        }
        return path;
    }

    void Reply(const Bytes& bytes) {
        port.DeliverChunk(bytes.data(), static_cast<int32_t>(bytes.size()));
        engine.OnCommRxChar(1, 0);
    }
    Bytes Sent(size_t n) { return pty.ReadExactly(n, 2000ms); }
    Bytes SentNow() { return pty.ReadAvailable(30ms); }

    // Runs a download from 0xD9 up to the first sector command; returns the
    // bytes of its header (command + offset).
    Bytes ThroughHeader(const std::string& path, uint32_t offset) {
        EXPECT_EQ(Sent(1), Bytes{0xD9});
        Reply({0x00});
        uint32_t crc = 0;
        EXPECT_TRUE(Crc32OfFile(path, crc));
        EXPECT_EQ(Sent(5), Cat({0xC8}, Be(crc)));
        Reply({Sum(Be(crc))});
        EXPECT_EQ(Sent(5), Cat({0xD3}, Be(offset)));
        EXPECT_EQ(engine.m_byExpected, Sum(Be(offset)));
        Reply({Sum(Be(offset))});
        struct stat st {};
        stat(path.c_str(), &st);
        const auto len = static_cast<uint32_t>(st.st_size);
        EXPECT_EQ(Sent(5), Cat({0xD4}, Be(len)));
        Reply({Sum(Be(len))});
        return Sent(5);
    }

    std::string m_dir;
    testsupport::CPtyPair pty;
    platform::CMemorySettingsStore settings;
    platform::CScriptedPrompts prompts;
    CRecordingConsole console;
    CSerialPort port;
    CDownloaderEngine engine{port, console, prompts};
    CNorDownload download{engine};
    CNorErase erase{engine};
    CNorDump dump{engine};
    CNorVerify verify{engine};
    int nStops = 0;
};

TEST_F(NorWire, AWhole128KSectorFileEndsWithItsSumThenTheEndCommand) {
    Bytes data;
    download.m_controls.astrBinPath[2] = MakeFile("img.bin", 131072, &data);
    ASSERT_TRUE(download.DownloadMainBinary());
    EXPECT_EQ(console.m_strLog, " \r\n** Start Downloading Main Binary file **\r\n");
    EXPECT_EQ(ThroughHeader(download.m_controls.astrBinPath[2], 0x20000),
              (Bytes{0xC7, 0x00, 0x02, 0x00, 0x00}));
    for (size_t k = 0; k < 64; ++k) {
        const Bytes chunk = Sent(2048);
        ASSERT_TRUE(std::equal(chunk.begin(), chunk.end(), data.begin() + 2048 * k)) << k;
        Reply({0x06});
    }
    EXPECT_EQ(engine.m_nState, WAIT_SECTOR_SUM);
    EXPECT_EQ(download.m_nRemaining, 0u);
    EXPECT_TRUE(SentNow().empty());
    EXPECT_EQ(engine.m_byExpected, Sum(data));
    Reply({Sum(data)});
    EXPECT_EQ(Sent(1), Bytes{0xC6});
    EXPECT_EQ(console.m_nProgressPos, 131072);
    Reply({0xC6});
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Download completed!"});
    EXPECT_EQ(prompts.m_messages[0].icon, platform::MsgIcon::Information);
    EXPECT_TRUE(console.m_bControlsEnabled);
    EXPECT_EQ(engine.m_bBinFileOpen, 0);
    const std::string tail = "OK!\r\n\r\n** Start Time";
    EXPECT_NE(console.m_strLog.find("Address 0x10020000... " + tail), std::string::npos)
        << console.m_strLog;
    EXPECT_NE(console.m_strLog.find("** (Total 131072 bytes) **\r\n\r\n"), std::string::npos);
    EXPECT_EQ(nStops, 0);
}

TEST_F(NorWire, AFileEndingInsideASectorSendsAShortLastChunk) {
    Bytes data;
    download.m_controls.astrBinPath[1] = MakeFile("img.bin", 5000, &data);
    ASSERT_TRUE(download.DownloadBootLoader());
    // Sector 0 is 32 KB: command 0xCC.
    EXPECT_EQ(ThroughHeader(download.m_controls.astrBinPath[1], 0), (Bytes{0xCC, 0, 0, 0, 0}));
    EXPECT_EQ(Sent(2048).size(), 2048u);
    Reply({0x06});
    EXPECT_EQ(Sent(2048).size(), 2048u);
    Reply({0x06});
    EXPECT_EQ(Sent(904).size(), 904u);
    EXPECT_NE(console.m_strLog.find("Last size(904)"), std::string::npos);
    EXPECT_EQ(engine.m_nState, WAIT_CHUNK_ACK);
    Reply({0x06});
    EXPECT_EQ(engine.m_nState, WAIT_SECTOR_SUM);
    EXPECT_EQ(engine.m_byExpected, Sum(data));
    Reply({Sum(data)});
    EXPECT_EQ(Sent(1), Bytes{0xC6});
}

TEST_F(NorWire, AFileThatGrowsDuringTheDownloadSendsOnlyTheAnnouncedLength) {
    Bytes data;
    const std::string path = MakeFile("img.bin", 5000, &data);
    download.m_controls.astrBinPath[1] = path;
    ASSERT_TRUE(download.DownloadBootLoader());
    ThroughHeader(path, 0);  // 0xD4 announced 5000 bytes
    std::ofstream(path, std::ios::binary | std::ios::app) << std::string(3000, 'x');
    EXPECT_EQ(Sent(2048).size(), 2048u);
    Reply({0x06});
    EXPECT_EQ(Sent(2048).size(), 2048u);
    Reply({0x06});
    EXPECT_EQ(Sent(904).size(), 904u);
    EXPECT_TRUE(SentNow().empty());
    EXPECT_NE(console.m_strLog.find("Last size(904)"), std::string::npos);
    Reply({0x06});
    EXPECT_EQ(engine.m_nState, WAIT_SECTOR_SUM);
    EXPECT_EQ(engine.m_byExpected, Sum(data));
}

TEST_F(NorWire, AMultipleOf2048EndsWithAnEmptyReadInsideTheSector) {
    Bytes data;
    download.m_controls.astrBinPath[1] = MakeFile("img.bin", 4096, &data);
    ASSERT_TRUE(download.DownloadBootLoader());
    ThroughHeader(download.m_controls.astrBinPath[1], 0);
    Sent(2048);
    Reply({0x06});
    Sent(2048);
    Reply({0x06});
    // Nothing more goes out; the next byte is the sector sum.
    EXPECT_TRUE(SentNow().empty());
    EXPECT_EQ(engine.m_nState, WAIT_SECTOR_SUM);
    Reply({Sum(data)});
    EXPECT_EQ(Sent(1), Bytes{0xC6});
}

TEST_F(NorWire, ALargerFileMovesOnToTheNextSector) {
    Bytes data;
    download.m_controls.astrBinPath[2] = MakeFile("img.bin", 131072 + 100, &data);
    ASSERT_TRUE(download.DownloadMainBinary());
    ThroughHeader(download.m_controls.astrBinPath[2], 0x20000);
    for (int k = 0; k < 64; ++k) {
        Sent(2048);
        Reply({0x06});
    }
    EXPECT_EQ(download.m_nCurSector, 5);
    Reply({Sum(data, 0, 131072)});
    EXPECT_EQ(Sent(5), (Bytes{0xC7, 0x00, 0x04, 0x00, 0x00}));
    EXPECT_EQ(Sent(100).size(), 100u);
    EXPECT_NE(console.m_strLog.find("OK!\r\nAddress 0x10040000... Last size(100)"),
              std::string::npos);
    EXPECT_EQ(console.m_nProgressPos, 131072);
}

TEST_F(NorWire, TheBpEngineOffsetIsAnsweredBy0xB0) {
    download.m_controls.astrBinPath[3] = MakeFile("img.bin", 10);
    ASSERT_TRUE(download.DownloadBpEngine());
    EXPECT_EQ(ThroughHeader(download.m_controls.astrBinPath[3], 0xB00000),
              (Bytes{0xC7, 0x00, 0xB0, 0x00, 0x00}));
}

TEST_F(NorWire, AnEditedAddressIsCheckedBeforeAnythingIsSent) {
    download.m_controls.astrBinPath[2] = MakeFile("img.bin", 10);
    download.m_controls.abAddrEnabled[2] = true;
    download.m_controls.astrAddr[2] = "10030000";
    ASSERT_TRUE(download.DownloadMainBinary());
    Sent(1);
    Reply({0x00});
    EXPECT_TRUE(SentNow().empty());
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_FALSE(console.m_bControlsEnabled);
    EXPECT_NE(console.m_strLog.find("\r\n **Not Sector Begin Address(0x00030000) Error! "),
              std::string::npos);

    download.m_controls.astrAddr[2] = "0x10040000";
    ASSERT_TRUE(download.DownloadMainBinary());
    EXPECT_EQ(ThroughHeader(download.m_controls.astrBinPath[2], 0x40000),
              (Bytes{0xC7, 0x00, 0x04, 0x00, 0x00}));
    EXPECT_NE(console.m_strLog.find("\r\n **NOR ADDR changed (0x00040000)... "
                                    "\r\n **Sector index(5)... Sending Binary CheckSum:"),
              std::string::npos);
}

TEST_F(NorWire, WrongRepliesEndTheDownloadWithTheirMessages) {
    download.m_controls.astrBinPath[2] = MakeFile("img.bin", 3000);
    ASSERT_TRUE(download.DownloadMainBinary());
    Sent(1);
    Reply({0x00});
    const Bytes crc = Sent(5);
    const auto wrong = static_cast<uint8_t>(Sum(crc, 1) + 1);
    Reply({wrong});
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_NE(console.m_strLog.find(platform::Format("\n Mount Fail! (0x%X)\r\n", wrong)),
              std::string::npos);
    EXPECT_FALSE(console.m_bControlsEnabled);
    EXPECT_TRUE(SentNow().empty());

    ASSERT_TRUE(download.DownloadMainBinary());
    ThroughHeader(download.m_controls.astrBinPath[2], 0x20000);
    Sent(2048);
    Reply({0x06});
    Sent(952);
    Reply({0x06});
    const uint8_t want = engine.m_byExpected;
    Reply({static_cast<uint8_t>(want + 1)});
    EXPECT_NE(console.m_strLog.find(platform::Format(
                  "Fail to download sector(send(%x)recive(%x))!\r\n", want, (want + 1) & 0xFF)),
              std::string::npos);
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_TRUE(console.m_bControlsEnabled);  // this one restores the controls
    EXPECT_EQ(engine.m_bBinFileOpen, 0);

    ASSERT_TRUE(download.DownloadMainBinary());
    ThroughHeader(download.m_controls.astrBinPath[2], 0x20000);
    Sent(2048);
    Reply({0x06});
    Sent(952);
    Reply({0x06});
    Reply({engine.m_byExpected});
    Sent(1);
    Reply({0x15});
    EXPECT_TRUE(console.m_strLog.ends_with("Not Complete! (0x15)"));
    EXPECT_FALSE(console.m_bControlsEnabled);
    EXPECT_TRUE(prompts.m_messages.empty());
}

TEST_F(NorWire, AMissingFileSendsNothing) {
    download.m_controls.astrBinPath[2] = m_dir + "/none.bin";
    EXPECT_FALSE(download.DownloadMainBinary());
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Fail to open bin file!"});
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_TRUE(SentNow().empty());
}

// An empty image used to erase sector 4 and report "Download completed!"; a
// 20 MB Main Binary wrote 16 MB before "Address is not allowed".
TEST_F(NorWire, ImagesThatCannotBeWrittenWholeAreRefusedBeforeTheSync) {
    download.m_controls.astrBinPath[2] = MakeFile("a.bin", 0);
    EXPECT_FALSE(download.DownloadMainBinary());
    download.m_controls.astrBinPath[2] = MakeFile("b.bin", 20 * 1024 * 1024);
    EXPECT_FALSE(download.DownloadMainBinary());
    // One byte past the end from an edited address.
    download.m_controls.abAddrEnabled[3] = true;
    download.m_controls.astrAddr[3] = "10FF8000";
    download.m_controls.astrBinPath[3] = MakeFile("c.bin", 0x8001);
    EXPECT_FALSE(download.DownloadBpEngine());
    EXPECT_TRUE(SentNow().empty());
    EXPECT_EQ(engine.m_nState, IDLE);
    const std::vector<std::string> texts = prompts.MessageTexts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "The image file is empty! (" + m_dir + "/a.bin)");
    EXPECT_EQ(texts[1], "The image does not fit in the NOR flash! (" + m_dir +
                            "/b.bin: 20971520 bytes from 0x10020000, 16646144 bytes to the end)");
    EXPECT_NE(texts[2].find("32769 bytes from 0x10FF8000, 32768 bytes to the end"),
              std::string::npos);
    // Exactly to the end is fine.
    MakeFile("c.bin", 0x8000);
    EXPECT_TRUE(download.DownloadBpEngine());
    EXPECT_EQ(Sent(1), Bytes{0xD9});
}

TEST_F(NorWire, AllDownloadChecksTheThreeImagesBeforeTheFirst) {
    download.m_controls.astrBinPath[1] = MakeFile("a.bin", 4096);
    download.m_controls.astrBinPath[2] = MakeFile("b.bin", 8192);
    download.m_controls.astrBinPath[3] = MakeFile("c.bin", 0);
    EXPECT_FALSE(download.DownloadAll());
    EXPECT_TRUE(SentNow().empty());
    EXPECT_EQ(download.m_bDownloadAll, 0);
    EXPECT_EQ(prompts.MessageTexts(),
              std::vector<std::string>{"The image file is empty! (" + m_dir + "/c.bin)"});
}

TEST_F(NorWire, APipeWhereTheImageShouldBeIsRefusedWithoutBlocking) {
    const std::string fifo = m_dir + "/img.bin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    download.m_controls.astrBinPath[2] = fifo;
    EXPECT_FALSE(download.DownloadMainBinary());  // would hang in open() if it blocked
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Fail to open bin file!"});
    CFileObject out;
    EXPECT_FALSE(out.Open(fifo, CFileObject::Mode::CreateWrite));
}

TEST_F(NorWire, PowerOnAfterDownloadSendsTheByteThenStops) {
    download.m_controls.astrBinPath[2] = MakeFile("img.bin", 16);
    download.m_controls.bPowerOn = true;
    ASSERT_TRUE(download.DownloadMainBinary());
    ThroughHeader(download.m_controls.astrBinPath[2], 0x20000);
    Sent(16);
    Reply({0x06});
    Reply({engine.m_byExpected});
    Sent(1);
    Reply({0xC6});
    EXPECT_EQ(Sent(1), Bytes{0xFD});
    EXPECT_EQ(nStops, 1);
}

TEST_F(NorWire, AllDownloadNamesEveryMissingFile) {
    download.m_controls.astrBinPath = {"", m_dir + "/x", m_dir + "/y", m_dir + "/z", ""};
    EXPECT_FALSE(download.DownloadAll());
    download.m_controls.astrBinPath[1] = MakeFile("a.bin", 10);
    EXPECT_FALSE(download.DownloadAll());
    download.m_controls.astrBinPath[2] = MakeFile("b.bin", 10);
    EXPECT_FALSE(download.DownloadAll());
    download.m_controls.nTab = kTabAlder2;
    EXPECT_FALSE(download.DownloadAll());
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{
                  "Can't find Boot Loader file!\r\nCan't find Main Binary file!\r\n"
                  "Can't find BP Engine file!\r\n",
                  " Can't find Main Binary file!\r\nCan't find BP Engine file!\r\n",
                  " Can't find BP Engine file!\r\n", " Can't find Main Binary file!\r\n"}));
    for (const auto& m : prompts.m_messages) {
        EXPECT_EQ(m.icon, platform::MsgIcon::Information);
    }
    EXPECT_EQ(download.m_bDownloadAll, 0);
    EXPECT_TRUE(SentNow().empty());
}

TEST_F(NorWire, AllDownloadChainsTheThreeImagesAndStopForgetsAnAbandonedOne) {
    for (size_t i = 1; i <= 3; ++i) {
        download.m_controls.astrBinPath[i] = MakeFile(i == 1   ? "a.bin"
                                                      : i == 2 ? "b.bin"
                                                               : "c.bin",
                                                      8);
    }
    ASSERT_TRUE(download.DownloadAll());
    EXPECT_EQ(download.m_bDownloadAll, 1);
    for (int file = 1; file <= 3; ++file) {
        const uint32_t offset = file == 1 ? 0 : file == 2 ? 0x20000 : 0xB00000;
        ThroughHeader(download.m_controls.astrBinPath[static_cast<size_t>(file)], offset);
        Sent(8);
        Reply({0x06});
        Reply({engine.m_byExpected});
        Sent(1);
        Reply({0xC6});
    }
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Download All completed!"});
    EXPECT_EQ(download.m_bDownloadAll, 0);
    EXPECT_NE(console.m_strLog.find("##### End Download All Binary files ##### \r\n\r\n"),
              std::string::npos);
    // The log was cleared once, at the start of the sequence.
    EXPECT_EQ(console.m_strLog.rfind(" \r\n\r\n##### Start Downloading All Binary files ##### "),
              0u);

    ASSERT_TRUE(download.DownloadAll());
    download.OnStop();
    EXPECT_EQ(download.m_bDownloadAll, 0);
}

TEST_F(NorWire, EraseGoesThroughTheSelectionInAscendingOrder) {
    prompts.m_sectorAnswers.push_back({5, 2, 133});
    ASSERT_TRUE(erase.StartErase());
    ASSERT_EQ(prompts.m_sectorRequests.size(), 1u);
    EXPECT_EQ(prompts.m_sectorRequests[0].lines.size(), 134u);
    EXPECT_EQ(console.m_nProgressMax, 3);
    EXPECT_EQ(Sent(1), Bytes{0xD9});
    Reply({0x00});
    EXPECT_EQ(Sent(5), (Bytes{0xD5, 0x00, 0x01, 0x00, 0x00}));
    Reply({0x01});
    EXPECT_EQ(console.m_nProgressPos, 1);
    EXPECT_EQ(Sent(5), (Bytes{0xD5, 0x00, 0x04, 0x00, 0x00}));
    Reply({0x04});
    EXPECT_EQ(Sent(5), (Bytes{0xD5, 0x00, 0xFF, 0x80, 0x00}));
    EXPECT_EQ(engine.m_byExpected, 0x7F);
    Reply({0x7F});
    EXPECT_EQ(console.m_nProgressPos, 3);
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Erasing Completed!"});
    EXPECT_EQ(console.m_strLog,
              " \r\n** Erasing NOR-Flash **\r\n\r\n"
              "Erasing sector (0x10010000)... OK!\r\n"
              "Erasing sector (0x10040000)... OK!\r\n"
              "Erasing sector (0x10FF8000)... OK!\r\n" +
                  FormatCalendarTime("\r\n** Start Time    %H:%M:%S **", 1000) +
                  FormatCalendarTime("\r\n** End Time      %H:%M:%S **", 1000) +
                  "\r\n** Erasing Time 00:00:00 **\r\n");
}

TEST_F(NorWire, AWrongEraseReplyEndsTheErase) {
    prompts.m_sectorAnswers.push_back({5, 6});
    ASSERT_TRUE(erase.StartErase());
    Sent(1);
    Reply({0x00});
    Sent(5);
    Reply({0x02});  // 0x10040000 expects 0x04
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Fail to erase sector!"});
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_TRUE(console.m_bControlsEnabled);
    EXPECT_TRUE(SentNow().empty());
}

TEST_F(NorWire, EraseAndDumpStartNothingWithoutASelection) {
    EXPECT_FALSE(erase.StartErase());  // dialog closed with EXIT
    EXPECT_TRUE(prompts.m_messages.empty());
    prompts.m_sectorAnswers.push_back({});
    // An empty answer is a declined dialog too; a START with no ticks:
    g_abSectorSelected.fill(0);
    EXPECT_FALSE(erase.StartSelected());
    EXPECT_FALSE(dump.StartSelected(m_dir + "/out.hex"));
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"No sector selected!", "No sector selected!"}));
    EXPECT_TRUE(SentNow().empty());
    // The selection of one operation never carries into the next.
    g_abSectorSelected[7] = 1;
    EXPECT_FALSE(erase.StartErase());
    EXPECT_EQ(g_abSectorSelected[7], 0);
}

class NorDumpWire : public NorWire {
  protected:
    // Answers one request with the block for its offset (byte = offset's
    // second byte plus position), optionally spoiling its check byte.
    uint32_t AnswerRequest(bool bSpoil = false) {
        const Bytes req = Sent(5);
        EXPECT_EQ(req[0], 0xD8);
        EXPECT_EQ(port.m_bBlockMode.load(), 1);
        const uint32_t offset =
            (uint32_t{req[1]} << 24) | (uint32_t{req[2]} << 16) | (uint32_t{req[3]} << 8) | req[4];
        Bytes block(8192);
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<uint8_t>((offset >> 13) + i);
        }
        block.push_back(static_cast<uint8_t>(Sum(block) + (bSpoil ? 1 : 0)));
        Reply(block);
        return offset;
    }
    std::string OutPath() { return m_dir + "/out.hex"; }
};

TEST_F(NorDumpWire, SectorZeroIsFourRequestsInto32KBytes) {
    prompts.m_sectorAnswers.push_back({0});
    prompts.m_saveAnswers.push_back(OutPath());
    ASSERT_TRUE(dump.StartNorDump());
    ASSERT_EQ(prompts.m_saveRequests.size(), 1u);
    EXPECT_EQ(prompts.m_saveRequests[0].strDefaultExt, ".hex");
    EXPECT_EQ(prompts.m_saveRequests[0].strFilter, "Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||");
    EXPECT_TRUE(prompts.m_saveRequests[0].bPromptOverwrite);
    EXPECT_EQ(Sent(1), Bytes{0xD9});
    Reply({0x00});
    std::vector<uint32_t> offsets;
    for (int k = 0; k < 4; ++k) {
        offsets.push_back(AnswerRequest());
        EXPECT_EQ(console.m_nProgressPos, 8 * (k + 1));
    }
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0x0000, 0x2000, 0x4000, 0x6000}));
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_EQ(port.m_bBlockMode.load(), 0);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Dump Completed!"});
    struct stat st {};
    ASSERT_EQ(stat(OutPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 32768);
    EXPECT_NE(console.m_strLog.find("** (Total 32 KBytes) **\r\n"), std::string::npos);
    EXPECT_NE(console.m_strLog.find("Dumping sector (0x10000000)... OK!\r\n"), std::string::npos);
}

TEST_F(NorDumpWire, SkippedSectorsLeaveNoGapInTheFile) {
    g_abSectorSelected.fill(0);
    g_abSectorSelected[4] = g_abSectorSelected[6] = 1;
    ASSERT_TRUE(dump.StartSelected(OutPath()));
    Sent(1);
    Reply({0x00});
    std::vector<uint32_t> offsets;
    for (int k = 0; k < 32; ++k) {
        offsets.push_back(AnswerRequest());
    }
    EXPECT_EQ(offsets[0], 0x20000u);
    EXPECT_EQ(offsets[15], 0x3E000u);
    EXPECT_EQ(offsets[16], 0x60000u);
    struct stat st {};
    ASSERT_EQ(stat(OutPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 262144);
    std::ifstream f(OutPath(), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(static_cast<uint8_t>(bytes[131072]), static_cast<uint8_t>(0x60000 >> 13));
}

TEST_F(NorDumpWire, ABadCheckByteSetsThePartialFileAsideUnmistakably) {
    prompts.m_sectorAnswers.push_back({0});
    prompts.m_saveAnswers.push_back(OutPath());
    ASSERT_TRUE(dump.StartNorDump());
    Sent(1);
    Reply({0x00});
    AnswerRequest();
    AnswerRequest();
    AnswerRequest(true);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Checksum mismatched!"});
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_EQ(engine.m_nOperation, 0);
    EXPECT_TRUE(console.m_bControlsEnabled);
    EXPECT_TRUE(SentNow().empty());
    struct stat st {};
    EXPECT_NE(stat(OutPath().c_str(), &st), 0);  // no file under the dump's name
    ASSERT_EQ(stat((OutPath() + ".incomplete").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16384);  // the two good blocks are kept
    EXPECT_NE(console.m_strLog.find("** Dump FAILED (checksum mismatch): 16 of 32 KBytes kept in " +
                                    OutPath() + ".incomplete **"),
              std::string::npos)
        << console.m_strLog;
}

TEST_F(NorDumpWire, APartWakeUpWaitsForTheWholeBlock) {
    g_abSectorSelected.fill(0);
    g_abSectorSelected[0] = 1;
    ASSERT_TRUE(dump.StartSelected(OutPath()));
    Sent(1);
    Reply({0x00});
    Sent(5);
    Bytes block(8192, 0x11);
    block.push_back(Sum(block));
    Reply(Bytes(block.begin(), block.begin() + 4000));
    EXPECT_EQ(port.Count(), 4000);
    EXPECT_EQ(engine.m_nState, WAIT_DUMP_BLOCK);
    EXPECT_TRUE(SentNow().empty());
    Reply(Bytes(block.begin() + 4000, block.end()));
    EXPECT_EQ(Sent(5), (Bytes{0xD8, 0x00, 0x00, 0x20, 0x00}));
    EXPECT_EQ(console.m_nProgressPos, 8);
}

TEST_F(NorDumpWire, StoppingADumpSetsItsFileAside) {
    g_abSectorSelected.fill(0);
    g_abSectorSelected[0] = 1;
    ASSERT_TRUE(dump.StartSelected(OutPath()));
    Sent(1);
    Reply({0x00});
    AnswerRequest();
    dump.OnStop();
    struct stat st {};
    EXPECT_NE(stat(OutPath().c_str(), &st), 0);
    ASSERT_EQ(stat((OutPath() + ".incomplete").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8192);
}

TEST_F(NorDumpWire, FileProblemsAreReportedBeforeAnythingIsSent) {
    prompts.m_sectorAnswers.push_back({0});
    EXPECT_FALSE(dump.StartNorDump());  // save dialog cancelled
    prompts.m_sectorAnswers.push_back({0});
    prompts.m_saveAnswers.push_back(m_dir);  // a folder cannot be created as the file
    EXPECT_FALSE(dump.StartNorDump());
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"No file selected!", "Internal Error! (file creation)"}));
    EXPECT_TRUE(SentNow().empty());
}

// Verification reads the range back with dump requests and compares only the
// image's own bytes.
TEST_F(NorWire, VerifyReadsTheImagesRangeBackAndComparesItsBytes) {
    Bytes image;
    const std::string path = MakeFile("img.bin", 10000, &image);
    ASSERT_TRUE(verify.Start({{path, 0x20000}}));
    EXPECT_EQ(Sent(1), Bytes{0xD9});
    Reply({0x00});
    EXPECT_EQ(Sent(5), (Bytes{0xD8, 0x00, 0x02, 0x00, 0x00}));
    Bytes block(image.begin(), image.begin() + 8192);
    Reply(Cat(block, {Sum(block)}));
    EXPECT_EQ(Sent(5), (Bytes{0xD8, 0x00, 0x02, 0x20, 0x00}));
    // Past the image the flash holds anything: not compared.
    block.assign(image.begin() + 8192, image.end());
    block.resize(8192, 0x77);
    Reply(Cat(block, {Sum(block)}));
    EXPECT_TRUE(SentNow().empty());
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_TRUE(verify.m_bMatched);
    EXPECT_EQ(verify.m_nCheckedBytes, 10000);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Verify completed!"});
    EXPECT_NE(console.m_strLog.find("Verifying 0x10020000 (10000 bytes)... OK!"), std::string::npos)
        << console.m_strLog;
    EXPECT_EQ(engine.m_bBinFileOpen, 0);
}

TEST_F(NorWire, VerifyNamesTheFirstDifferingAddress) {
    Bytes image;
    const std::string path = MakeFile("img.bin", 10000, &image);
    ASSERT_TRUE(verify.Start({{path, 0x20000}}));
    Sent(1);
    Reply({0x00});
    Sent(5);
    Bytes block(image.begin(), image.begin() + 8192);
    Reply(Cat(block, {Sum(block)}));
    Sent(5);
    block.assign(image.begin() + 8192, image.end());
    block.resize(8192, 0xFF);
    block[100] ^= 0x01;  // image byte 8292
    Reply(Cat(block, {Sum(block)}));
    EXPECT_TRUE(SentNow().empty());
    EXPECT_FALSE(verify.m_bMatched);
    EXPECT_TRUE(verify.m_bDiffers);
    EXPECT_EQ(verify.m_nFirstDiff, 0x10020000u + 8292);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Verify failed! (0x10022064)"});
    EXPECT_NE(console.m_strLog.find("** Verify FAILED: first difference at 0x10022064"),
              std::string::npos)
        << console.m_strLog;
    EXPECT_TRUE(console.m_bControlsEnabled);
    EXPECT_EQ(engine.m_nState, IDLE);
}

TEST_F(NorWire, ADownloadWithVerifyReadsBackBeforeItPowersOn) {
    Bytes image;
    download.m_controls.astrBinPath[1] = MakeFile("img.bin", 4096, &image);
    download.m_controls.bVerify = true;
    download.m_controls.bPowerOn = true;
    std::vector<VerifyItem> asked;
    bool bPowerOnAsked = false;
    download.SetVerifyAction([&](std::vector<VerifyItem> items, bool bPowerOn) {
        asked = items;
        bPowerOnAsked = bPowerOn;
    });
    ASSERT_TRUE(download.DownloadBootLoader());
    ThroughHeader(download.m_controls.astrBinPath[1], 0);
    Sent(2048);
    Reply({0x06});
    Sent(2048);
    Reply({0x06});
    Reply({Sum(image)});
    EXPECT_EQ(Sent(1), Bytes{0xC6});
    Reply({0xC6});
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Download completed!"});
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].strPath, download.m_controls.astrBinPath[1]);
    EXPECT_EQ(asked[0].nOffset, 0u);
    EXPECT_TRUE(bPowerOnAsked);
    EXPECT_TRUE(SentNow().empty());  // no power-on byte yet
    EXPECT_EQ(nStops, 0);
}

}  // namespace
