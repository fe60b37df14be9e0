// The handshake's exact bytes on the wire, driven by hand: the test plays the
// boot ROM through a pseudo-terminal and steps the rate-change timer itself.
#include "oriel/boot/boot_handshake.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <vector>

#include "oriel/boot/loader_images.h"
#include "oriel/engine/console_view.h"
#include "oriel/link/serial_port.h"
#include "oriel/ui/downloader_session.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "platform/timer_service.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

class HandshakeWire : public ::testing::Test {
  protected:
    void SetUp() override {
        settings.SetString("Ports", "COM2", pty.SlavePath());
        port.SetSettings(&settings);
        port.SetPrompts(&prompts);
        // No receive thread: replies go straight into the ring.
        ASSERT_TRUE(port.Open(2, 115200, true));
        s.nComIndex = 1;
        handshake.SetStopAction([this] { ++nStops; });
        handshake.Start(s);
    }

    void Reply(const Bytes& bytes) {
        port.DeliverChunk(bytes.data(), static_cast<int32_t>(bytes.size()));
        engine.OnCommRxChar(2, 0);
    }
    Bytes Sent(size_t n) { return pty.ReadExactly(n, 2000ms); }
    Bytes SentNow() { return pty.ReadAvailable(30ms); }

    // Runs the ROM part up to the pre-loader's 0xAB.
    void ThroughPreloader() {
        Reply({0x81});
        ASSERT_EQ(Sent(1), Bytes{0x44});
        Reply({0x44});
        ASSERT_EQ(Sent(1), Bytes{0x51});
        Reply(challenge);
        Sent(21);
        Reply({'O'});
        Sent(2);
        Reply({'O'});
        Sent(5);
        for (int k = 0; k < 465; ++k) {
            Reply({'O'});
            Sent(6);
        }
        Reply({'O'});
        Sent(5);
        Reply({'O'});
        ASSERT_EQ(Sent(1), Bytes{'J'});
        ASSERT_EQ(engine.m_nState, oriel::WAIT_PRELOADER_READY);
    }

    testsupport::CPtyPair pty;
    platform::CMemorySettingsStore settings;
    platform::CScriptedPrompts prompts;
    platform::CManualTimerService timers;
    oriel::CRecordingConsole console;
    oriel::CSerialPort port;
    oriel::CDownloaderEngine engine{port, console, prompts};
    oriel::CBootHandshake handshake{engine};
    oriel::HandshakeSettings s;
    int nStops = 0;
    Bytes challenge{0x10, 0xFF, 0x00, 0x81, 0x44, 0x4F, 0x7E, 0x7D,
                    0x01, 0x02, 0x03, 0x04, 0xAB, 0xCD, 0xEF, 0x99};

    void SetUpTimers() { engine.SetTimers(&timers); }
};

TEST_F(HandshakeWire, RomExchangeAndPreloaderGoOutExactly) {
    // Noise before the connect request is ignored without a word.
    Reply({0x00, 0x44, 0xFF});
    EXPECT_TRUE(SentNow().empty());
    EXPECT_EQ(engine.m_nState, oriel::WAIT_CONNECT_REQ);

    Reply({0x81});
    EXPECT_EQ(Sent(1), Bytes{0x44});
    Reply({0x44});
    EXPECT_EQ(Sent(1), Bytes{0x51});
    // The challenge may arrive in pieces; only the 16th byte answers.
    Reply(Bytes(challenge.begin(), challenge.begin() + 7));
    EXPECT_TRUE(SentNow().empty());
    Reply(Bytes(challenge.begin() + 7, challenge.end()));
    Bytes id{0x44};
    const auto customer = oriel::CustomerId();
    id.insert(id.end(), customer.begin(), customer.end());
    id.insert(id.end(), challenge.begin(), challenge.end());
    EXPECT_EQ(Sent(21), id);

    Reply({'O'});
    EXPECT_EQ(Sent(2), (Bytes{'T', 0x10}));
    Reply({'O'});
    EXPECT_EQ(Sent(5), (Bytes{'S', 0x00, 0x00, 0x00, 0x0C}));

    const oriel::LoaderImage pre = oriel::PreloaderImage();
    for (int k = 0; k < 465; ++k) {
        Reply({'O'});
        const Bytes cmd = Sent(6);
        const Bytes want{'L',
                         0x00,
                         pre.pData[4 * k],
                         pre.pData[4 * k + 1],
                         pre.pData[4 * k + 2],
                         pre.pData[4 * k + 3]};
        ASSERT_EQ(cmd, want) << "word " << k;
        ASSERT_EQ(engine.m_nState,
                  k == 464 ? oriel::WAIT_PRELOADER_LAST : oriel::WAIT_PRELOADER_WORD);
    }
    EXPECT_TRUE(SentNow().empty());
    Reply({'O'});
    EXPECT_EQ(Sent(5), (Bytes{'S', 0x00, 0x00, 0x00, 0x0C}));
    Reply({'O'});
    EXPECT_EQ(Sent(1), Bytes{'J'});
    EXPECT_EQ(engine.m_nState, oriel::WAIT_PRELOADER_READY);
}

TEST_F(HandshakeWire, ABadGrantLogsAndWaitsForTheNextRequest) {
    Reply({0x81});
    Sent(1);
    Reply({0x82});
    EXPECT_EQ(engine.m_nState, oriel::WAIT_CONNECT_REQ);
    EXPECT_NE(console.m_strLog.find("Bad Response from ORIEL Chip (0x82)\r\n"), std::string::npos);
    Reply({0x81});
    EXPECT_EQ(Sent(1), Bytes{0x44});
}

TEST_F(HandshakeWire, NormalModeWaitsForASecondBootThenChangesTheRate) {
    SetUpTimers();
    s.nSpeedIndex = 3;
    handshake.Start(s);
    ThroughPreloader();
    Reply({0xAB});
    EXPECT_EQ(engine.m_nState, oriel::WAIT_CONNECT_REQ);
    EXPECT_EQ(handshake.BootRetry(), 1);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(SentNow().empty());
    // The whole exchange again, pre-loader included, then the rate byte.
    ThroughPreloader();
    Reply({0xAB});
    EXPECT_EQ(Sent(1), Bytes{3});
    EXPECT_EQ(engine.m_nState, oriel::WAIT_SYNC);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(handshake.BootRetry(), 0);
    EXPECT_EQ(timers.Period(oriel::kBaudTimerId), 500u);
}

TEST_F(HandshakeWire, RateChangeReopensAtTheNewRateAndRetriesUntilItCan) {
    SetUpTimers();
    s.nMode = oriel::kModeTat;
    s.nSpeedIndex = 2;
    handshake.Start(s);
    ThroughPreloader();
    Reply({0xAB});
    EXPECT_EQ(Sent(1), Bytes{2});
    ASSERT_FALSE(port.IsOpen());

    // The device is not there (yet): the timer re-arms and says so each time.
    settings.SetString("Ports", "COM2", "/nonexistent/tty-for-test");
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(timers.Fire(oriel::kBaudTimerId));
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(timers.Period(oriel::kBaudTimerId), 500u);
    }
    size_t nRetries = 0;
    for (size_t p = 0;
         (p = console.m_strLog.find("** Retry the change of baudrate\r\n", p)) != std::string::npos;
         ++p) {
        ++nRetries;
    }
    EXPECT_EQ(nRetries, 3u);
    EXPECT_TRUE(prompts.m_messages.empty());

    settings.SetString("Ports", "COM2", pty.SlavePath());
    ASSERT_TRUE(timers.Fire(oriel::kBaudTimerId));
    EXPECT_FALSE(timers.IsRunning(oriel::kBaudTimerId));
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(Sent(1), Bytes{0xD9});
    EXPECT_EQ(pty.SlaveSpeed(), static_cast<unsigned>(B460800));
}

TEST_F(HandshakeWire, FastBootLoaderGoesOutInThreeBlocksWithItsSums) {
    engine.m_nState = oriel::WAIT_SYNC;
    Reply({0});  // SPEED index 0
    EXPECT_EQ(Sent(5), (Bytes{0xD4, 0x00, 0x00, 0x15, 0x68}));
    EXPECT_EQ(engine.m_byExpected, 0x7D);
    EXPECT_EQ(console.m_nProgressMax, 5480);

    Reply({0x7D});
    EXPECT_EQ(Sent(1), Bytes{0xF7});
    const oriel::LoaderImage image = oriel::BootloaderImage(true);
    const size_t sizes[] = {2048, 2048, 1384};
    size_t pos = 0;
    for (size_t i = 0; i < 3; ++i) {
        Reply({0xF7});
        const Bytes block = Sent(sizes[i]);
        ASSERT_TRUE(std::equal(block.begin(), block.end(), image.pData + pos)) << "block " << i;
        pos += sizes[i];
        EXPECT_EQ(console.m_nProgressPos, static_cast<int32_t>(pos));
        uint8_t sum = 0;
        for (uint8_t b : block) {
            sum = static_cast<uint8_t>(sum + b);
        }
        EXPECT_EQ(engine.m_byExpected, sum);
        EXPECT_EQ(engine.m_nState, i < 2 ? oriel::WAIT_BLOCK_SUM : oriel::WAIT_LAST_BLOCK_SUM);
        Reply({sum});
        EXPECT_EQ(Sent(1), Bytes{i < 2 ? uint8_t{0xF7} : uint8_t{0xFF}});
    }
    EXPECT_TRUE(SentNow().empty());
    Reply({0xAB});
    EXPECT_EQ(Sent(5), (Bytes{0xD0, 0x10, 0x00, 0x00, 0x00}));
    Reply({0x10});
    EXPECT_EQ(Sent(1), Bytes{0xD1});
    Reply({0x00, 0x01, 0x22, 0x7E, 0x22, 0x31, 0x22});
    EXPECT_EQ(engine.m_bIdentified, 0);
    Reply({0x00});
    EXPECT_EQ(engine.m_bIdentified, 1);
    EXPECT_EQ(console.m_strFlashId, "Spansion-S71WS128NC0");
    EXPECT_EQ(engine.m_nState, oriel::IDLE);
}

TEST_F(HandshakeWire, FullBootLoaderAnnouncesItsSizeAndEndsWithA1068ByteBlock) {
    s.bFast = 0;
    handshake.Start(s);
    engine.m_nState = oriel::WAIT_SYNC;
    Reply({0});
    EXPECT_EQ(Sent(5), (Bytes{0xD4, 0x00, 0x04, 0xDC, 0x2C}));
    Reply({engine.m_byExpected});
    Sent(1);
    for (int i = 0; i < 155; ++i) {
        Reply({0xF7});
        ASSERT_EQ(Sent(2048).size(), 2048u);
        Reply({engine.m_byExpected});
        ASSERT_EQ(Sent(1), Bytes{0xF7});
    }
    Reply({0xF7});
    EXPECT_EQ(Sent(1068).size(), 1068u);
    EXPECT_EQ(engine.m_nState, oriel::WAIT_LAST_BLOCK_SUM);
    EXPECT_EQ(console.m_nProgressPos, 318508);
}

TEST_F(HandshakeWire, AutoDownLoadStartsAllDownloadOnceTheFlashIsKnown) {
    int nAll = 0;
    handshake.SetAllDownloadAction([&] { ++nAll; });
    s.bAuto = 1;
    handshake.Start(s);
    engine.m_nState = oriel::WAIT_FLASH_ID;
    Reply({0x00, 0x01, 0x22, 0x7E, 0x22, 0x44, 0x22, 0x00});
    EXPECT_EQ(nAll, 1);
    EXPECT_EQ(engine.m_bIdentified, 1);

    // Not for an unknown part, and not without the check box.
    nAll = 0;
    engine.m_bIdentified = 0;
    engine.m_nState = oriel::WAIT_FLASH_ID;
    Reply({0x00, 0x01, 0x22, 0x7E, 0x22, 0x44, 0x22, 0x01});
    EXPECT_EQ(nAll, 0);
    EXPECT_EQ(nStops, 1);
    s.bAuto = 0;
    handshake.Start(s);
    engine.m_nState = oriel::WAIT_FLASH_ID;
    Reply({0x00, 0x01, 0x22, 0x7E, 0x22, 0x31, 0x22, 0x00});
    EXPECT_EQ(nAll, 0);
}

TEST(FlashIdentification, MatchesOnlyBothKnownParts) {
    EXPECT_STREQ(oriel::IdentifyFlash({0x00, 0x01, 0x22, 0x7E, 0x22, 0x31, 0x22, 0x00}),
                 "Spansion-S71WS128NC0");
    EXPECT_STREQ(oriel::IdentifyFlash({0x00, 0x01, 0x22, 0x7E, 0x22, 0x44, 0x22, 0x00}),
                 "Spansion-S71WS128PC0");
    EXPECT_EQ(oriel::IdentifyFlash({0x00, 0x01, 0x22, 0x7E, 0x22, 0x44, 0x22, 0x01}), nullptr);
    EXPECT_EQ(oriel::IdentifyFlash({0x01, 0x00, 0x22, 0x7E, 0x22, 0x31, 0x22, 0x00}), nullptr);
    EXPECT_EQ(oriel::IdentifyFlash({0x00, 0x01, 0x7E, 0x22, 0x22, 0x31, 0x22, 0x00}), nullptr);
}

// START and Stop of the session around the port.
class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settings.SetString("Ports", "COM1", pty.SlavePath());
        port.SetSettings(&settings);
        port.SetPrompts(&prompts);
    }
    testsupport::CPtyPair pty;
    platform::CMemorySettingsStore settings;
    platform::CScriptedPrompts prompts;
    platform::CManualTimerService timers;
    oriel::CRecordingConsole console;
    oriel::CSerialPort port;
    oriel::CDownloaderSession session{port, console, prompts, &timers};
};

TEST_F(SessionTest, StartOpensAt115200EvenParityAndWaitsForTheRequest) {
    ASSERT_TRUE(session.Start({}));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(pty.SlaveSpeed(), static_cast<unsigned>(B115200));
    EXPECT_EQ(session.Engine().m_nState, oriel::WAIT_CONNECT_REQ);
    EXPECT_EQ(console.m_strLog,
              "** Wait for Connect Request from Mobile...\r\n** (POWER ON the PHONE!)\r\n");
    EXPECT_TRUE(console.m_bConnected);
    EXPECT_FALSE(console.m_bControlsEnabled);
}

TEST_F(SessionTest, StartTwiceSaysThePortIsOpenAndChangesNothing) {
    ASSERT_TRUE(session.Start({}));
    session.Engine().m_nState = oriel::WAIT_CHALLENGE;
    EXPECT_FALSE(session.Start({}));
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Port already opened!"});
    EXPECT_EQ(session.Engine().m_nState, oriel::WAIT_CHALLENGE);
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(SessionTest, StartOnAMissingDeviceFailsWithItsMessage) {
    settings.SetString("Ports", "COM1", "/nonexistent/tty-for-test");
    EXPECT_FALSE(session.Start({}));
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Port Initialization Failed!"});
    EXPECT_FALSE(console.m_bConnected);
}

TEST_F(SessionTest, StopWhileIdleDoesNothing) {
    session.Stop();
    EXPECT_TRUE(console.m_strLog.empty());
    EXPECT_EQ(console.m_nEnableCount, 0);
}

TEST_F(SessionTest, StopDuringTheRateChangeEndsTheRetriesToo) {
    oriel::HandshakeSettings hs;
    hs.nMode = oriel::kModeTat;
    ASSERT_TRUE(session.Start(hs));
    session.Engine().m_nState = oriel::WAIT_PRELOADER_READY;
    port.DeliverChunk(std::vector<uint8_t>{0xAB}.data(), 1);
    session.Engine().OnCommRxChar(1, 0);
    ASSERT_FALSE(port.IsOpen());
    ASSERT_TRUE(timers.IsRunning(oriel::kBaudTimerId));
    EXPECT_TRUE(session.IsConnected());

    session.Stop();
    EXPECT_FALSE(timers.IsRunning(oriel::kBaudTimerId));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(session.IsConnected());
    EXPECT_EQ(session.Engine().m_nState, oriel::STATE_NONE);
    EXPECT_NE(console.m_strLog.find("\r\n** Close COM port\r\n"), std::string::npos);
    // And START works again at once.
    EXPECT_TRUE(session.Start(hs));
}

}  // namespace
