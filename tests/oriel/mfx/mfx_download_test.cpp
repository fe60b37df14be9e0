// The MFX download on the wire: the test plays the boot-loader.
#include "oriel/mfx/mfx_download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "oriel/engine/console_view.h"
#include "oriel/engine/crc32.h"
#include "oriel/engine/downloader_engine.h"
#include "oriel/mfx/code_page.h"
#include "tests/support/wire_port.h"

namespace {

using namespace oriel;
using Bytes = std::vector<uint8_t>;
using testsupport::Sum8Of;

TEST(MfxTimeRecord, SeventhOfMarch2008) {
    std::tm t{};
    t.tm_year = 108;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    const auto r = MfxTimeRecord(t);
    const Bytes want{0xC4, 0, 0,    0, 0x09, 0, 0,    0, 0x05, 0, 0,    0,    0x0E, 0,
                     0,    0, 0x07, 0, 0,    0, 0x03, 0, 0,    0, 0xD8, 0x07, 0,    0};
    EXPECT_EQ(Bytes(r.begin(), r.end()), want);
    EXPECT_EQ(MfxTimeRecordSum(r), 0x05);
}

class MfxWire : public ::testing::Test, protected testsupport::CWirePort {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/oriel_mfx_dl_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        package.m_strMfxPath = m_dir + "/pkg.mfx";
        engine.m_bIdentified = 1;
        engine.m_nState = IDLE;
        // 7 March 2008 14:05:09 local time.
        std::tm t{};
        t.tm_year = 108;
        t.tm_mon = 2;
        t.tm_mday = 7;
        t.tm_hour = 14;
        t.tm_min = 5;
        t.tm_sec = 9;
        t.tm_isdst = -1;
        const std::time_t when = std::mktime(&t);
        engine.SetClock([when] { return when; });
        mfx.SetStopAction([this] { ++nStops; });
        SetAnsiCodePage("ISO-8859-1");
    }
    void TearDown() override {
        SetAnsiCodePage("");
        unlink((m_dir + "/pkg.mfx").c_str());
        unlink((m_dir + "/pkg.cfg").c_str());
        rmdir(m_dir.c_str());
    }
    void Write(const std::string& cfg, const std::string& data) {
        std::ofstream(m_dir + "/pkg.cfg", std::ios::binary) << cfg;
        std::ofstream(m_dir + "/pkg.mfx", std::ios::binary) << data;
        m_data = data;
    }
    void Reply(const Bytes& b) {
        Feed(b);
        engine.OnCommRxChar(1, 0);
    }
    // D9 .. the time record's sum; returns nothing, checks every byte.
    void ThroughTime() {
        ASSERT_EQ(Sent(1), Bytes{0xD9});
        Reply({0x00});
        ASSERT_EQ(Sent(1), Bytes{0xDA});
        Reply({0xDA});
        uint32_t crc = 0;
        ASSERT_TRUE(Crc32OfFile(package.m_strMfxPath, crc));
        const Bytes c = Sent(5);
        ASSERT_EQ(c, (Bytes{0xC9, uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8),
                            uint8_t(crc)}));
        Reply({Sum8Of(c, 1)});
        const Bytes t = Sent(28);
        ASSERT_EQ(t[0], 0xC4);
        ASSERT_EQ(t[24], 0xD8);
        ASSERT_EQ(engine.m_byExpected, 0x05);
        Reply({0x05});
    }
    void Versions(bool bRelease) {
        const Bytes v = Sent(17);
        ASSERT_EQ(v[0], 0xE3);
        Reply({0xE3});
        if (bRelease) {
            ASSERT_EQ(Sent(13)[0], 0xF5);
        } else {
            ASSERT_EQ(Sent(1), Bytes{0xF6});
        }
        Reply({0xE3});
    }
    // One file: header, chunks of the given sizes, DF.
    void OneFile(const std::string& utf8Name, uint32_t size, const std::vector<size_t>& chunks,
                 size_t& offset) {
        const Bytes h = Sent(1 + 2 + utf8Name.size() + 4);
        ASSERT_EQ(h[0], 0xDD);
        ASSERT_EQ(h[1] * 256 + h[2], static_cast<int>(utf8Name.size()));
        ASSERT_EQ(std::string(h.begin() + 3, h.begin() + 3 + static_cast<long>(utf8Name.size())),
                  utf8Name);
        Reply({Sum8Of(h, 1)});
        for (size_t k = 0; k < chunks.size(); ++k) {
            ASSERT_EQ(Sent(1), Bytes{0xFE}) << k;
            const Bytes d = chunks[k] > 0 ? Sent(chunks[k]) : Bytes{};
            ASSERT_EQ(d.size(), chunks[k]);
            ASSERT_TRUE(std::equal(d.begin(), d.end(), m_data.begin() + static_cast<long>(offset)));
            offset += d.size();
            ASSERT_EQ(engine.m_byExpected, Sum8Of(d));
            Reply({Sum8Of(d)});
        }
        (void)size;
        ASSERT_EQ(engine.m_nState, WAIT_FILE_ACK);
        Reply({0xDF});
    }

    std::string m_dir;
    std::string m_data;
    CRecordingConsole console;
    CDownloaderEngine engine{port, console, prompts};
    CMfxPackage package{engine};
    CMfxDownload mfx{engine, package};
    int nStops = 0;
};

TEST_F(MfxWire, APackageGoesOutRequestByRequest) {
    const std::string data = std::string(20000, 'a') + std::string(16384, 'b');
    Write(
        "MFXVERSION : 0123456789ABCDEF\r\nMFXRELEASEVERSION : 0123456789AB\r\n"
        "DIR_NAME : /a\r\nDIR_NAME : /a/b\r\n"
        "FILE_NAME : /a/x\r\nFILE_SIZE : 20000\r\nFILE_NAME : /a/b/e\r\nFILE_SIZE : 16384\r\n"
        "FILE_NAME : /z\r\nFILE_SIZE : 0\r\n",
        data);
    ASSERT_TRUE(mfx.StartMfxDownload());
    ThroughTime();
    EXPECT_EQ(Sent(6), (Bytes{0xDB, 0x00, 0x03, '/', 'a', 0x00}));
    EXPECT_EQ(engine.m_byExpected, static_cast<uint8_t>(0x03 + '/' + 'a'));
    Reply({engine.m_byExpected});
    EXPECT_EQ(engine.m_nState, WAIT_NAME_ACK);
    Reply({0xDC});
    EXPECT_EQ(Sent(8), (Bytes{0xDB, 0x00, 0x05, '/', 'a', '/', 'b', 0x00}));
    Reply({engine.m_byExpected});
    Reply({0xDC});
    Versions(true);
    EXPECT_EQ(console.m_nProgressMax, 36384);
    size_t offset = 0;
    OneFile(std::string("/a/x\0", 5), 20000, {8192, 8192, 3616}, offset);
    OneFile(std::string("/a/b/e\0", 7), 16384, {8192, 8192, 0}, offset);
    OneFile(std::string("/z\0", 3), 0, {0}, offset);
    EXPECT_EQ(Sent(1), Bytes{0xC5});
    Reply({0xC5});
    EXPECT_EQ(Sent(1), Bytes{0xE4});
    Reply({0xE4});
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Download completed!"});
    EXPECT_EQ(console.m_nProgressPos, 36384);
    const std::string& log = console.m_strLog;
    EXPECT_NE(log.find("\r\n** Mounting MFX system... OK!\r\nSending NAND CheckSum:"),
              std::string::npos);
    EXPECT_NE(log.find("MFX time set OK!\r\nCreating a directory \"/a\"... OK!\r\n"
                       "Creating a directory \"/a/b\"... OK!\r\nWriting a MFX Version... OK!\r\n"
                       "Writing a file \"/a/x\" (20000 bytes)... OK!\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(
        log.find("Complete nand!\r\nUnmounting MFX!OK!\r\n\r\n** Downloading Time 00:00 **\r\n"
                 "** (Total 36384 bytes) **\r\n"),
        std::string::npos)
        << log;
    EXPECT_TRUE(console.m_bControlsEnabled);
    EXPECT_EQ(engine.m_bMfxFileOpen, 0);
}

TEST_F(MfxWire, AOneLetterFileHeaderAndNoReleaseVersion) {
    Write("MFXVERSION : 0123456789ABCDEF\r\nFILE_NAME : a\r\nFILE_SIZE : 300\r\n",
          std::string(300, 'q'));
    ASSERT_TRUE(mfx.StartMfxDownload());
    ThroughTime();
    // No directories: straight to the versions; no release version: F6.
    Versions(false);
    EXPECT_EQ(Sent(9), (Bytes{0xDD, 0x00, 0x02, 0x61, 0x00, 0x00, 0x00, 0x01, 0x2C}));
    EXPECT_EQ(engine.m_byExpected, 0x90);
}

TEST_F(MfxWire, DirectoriesWithoutFilesGoFromTheVersionsToComplete) {
    Write("MFXVERSION : 0123456789ABCDEF\r\nDIR_NAME : /d\r\n", "");
    ASSERT_TRUE(mfx.StartMfxDownload());
    ThroughTime();
    Sent(6);
    Reply({engine.m_byExpected});
    Reply({0xDC});
    Versions(false);
    EXPECT_EQ(Sent(1), Bytes{0xC5});
    EXPECT_TRUE(console.m_strLog.ends_with("OK!\r\nComplete nand!\r\n"));
}

TEST_F(MfxWire, FailuresStopWithTheByteReceivedAndTheControlsLocked) {
    Write("MFXVERSION : 0123456789ABCDEF\r\n", "");
    ASSERT_TRUE(mfx.StartMfxDownload());
    Sent(1);
    Reply({0x00});
    Sent(1);
    Reply({0x15});
    EXPECT_TRUE(
        console.m_strLog.ends_with("\r\n** Mounting MFX system... \n Mount Fail! (0x15)\r\n"));
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_FALSE(console.m_bControlsEnabled);
    EXPECT_TRUE(SentNow().empty());
}

TEST_F(MfxWire, AWrongCompleteReplyKeepsWaiting) {
    Write("MFXVERSION : 0123456789ABCDEF\r\n", "");
    ASSERT_TRUE(mfx.StartMfxDownload());
    ThroughTime();
    Versions(false);
    Sent(1);
    Reply({0x00});
    EXPECT_EQ(engine.m_nState, WAIT_COMPLETE_ACK);
    EXPECT_TRUE(console.m_strLog.ends_with("Writing NAND Fail! \r\n"));
    Reply({0xC5});
    EXPECT_EQ(Sent(1), Bytes{0xE4});
}

TEST_F(MfxWire, AWrongChunkSumEndsTheDownload) {
    Write("MFXVERSION : 0123456789ABCDEF\r\nFILE_NAME : /f\r\nFILE_SIZE : 9000\r\n",
          std::string(9000, 'x'));
    ASSERT_TRUE(mfx.StartMfxDownload());
    ThroughTime();
    Versions(false);
    const Bytes h = Sent(10);
    Reply({Sum8Of(h, 1)});
    Sent(1 + 8192);
    Reply({static_cast<uint8_t>(engine.m_byExpected + 1)});
    EXPECT_TRUE(console.m_strLog.ends_with("checksum mismatched!\r\n"));
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_TRUE(SentNow().empty());
}

TEST_F(MfxWire, ADataFileShorterThanItsDescriptionIsNotPadded) {
    // The sizes add up, but the file changes under the download.
    Write("MFXVERSION : 0123456789ABCDEF\r\nFILE_NAME : /f\r\nFILE_SIZE : 100\r\n",
          std::string(100, 'x'));
    ASSERT_TRUE(mfx.StartMfxDownload());
    ThroughTime();
    Versions(false);
    truncate((m_dir + "/pkg.mfx").c_str(), 50);
    const Bytes h = Sent(10);
    Reply({Sum8Of(h, 1)});
    EXPECT_TRUE(SentNow().empty());  // not even the FE
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_NE(console.m_strLog.find("** Fail to read "), std::string::npos);
}

TEST_F(MfxWire, ARefusedPackageSendsNothingButTheSync) {
    Write("no version here", "");
    ASSERT_TRUE(mfx.StartMfxDownload());
    Sent(1);
    Reply({0x00});
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_TRUE(SentNow().empty());
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"MFXVERSION not found in cfg file"});
}

}  // namespace
