// The whole boot handshake against the simulated handset on a pseudo-terminal:
// every rate, both modes, both boot-loaders, and each failure the handset can
// be told to commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "oriel/boot/boot_handshake.h"
#include "oriel/boot/loader_images.h"
#include "oriel/engine/console_view.h"
#include "oriel/link/serial_port.h"
#include "oriel/ui/downloader_session.h"
#include "platform/event_loop.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "sim/oriel/oriel_handset.h"
#include "tests/support/sim_session.h"

namespace {

using namespace std::chrono_literals;
using oriel::HandshakeSettings;
using orielsim::Fault;
using orielsim::Step;

const char* const kStartLog =
    "** Wait for Connect Request from Mobile...\r\n** (POWER ON the PHONE!)\r\n";

const char* const kBootLog =
    "** Send '0x44' to ORIEL Chip\r\n"
    "** Connection granted from ORIEL Chip\r\n"
    "** Received 16 bytes from ORIEL chip\r\n"
    "** Sending the customer ID and the same 16 bytes to ORIEL chip... "
    "OK!\r\n"
    "** Try to change Timeout !\r\n"
    "** Ok! Timout Changed(1600 mSecond) \r\n"
    "** Setting downloading address (SCRAM: 0x0C000000)... "
    "OK!\r\n\r\n"
    "** Downloading the pre-Loader (1860 bytes)... "
    "OK!\r\n"
    "** Set the start address of pre-Loader (SCRAM:0x0C000000)... "
    "OK!\r\n"
    "\r\nStart Pre-Loader... ";

const char* const kNowYouCan =
    "\r\n\r\n** Now you can do the followings. **\r\n\r\n"
    "1. Download the BINARY and/or MFX files\r\n2. Dump NOR-Flash\r\n"
    "3. Erase NOR-Flash\r\n4. Format Nand-Flash\r\n5. Dump MFX files\r\n"
    "6. Check the status of NAND-Flash\r\n";

std::string ExpectedLog(const HandshakeSettings& s) {
    static const char* const kRates[] = {"115200", "230400", "460800", "921600"};
    std::string log = kStartLog;
    log += kBootLog;
    if (s.nMode == oriel::kModeNormal) {
        log += "OK!\r\nWaiting PCF5213 boot...\r\n";
        log += kBootLog;
    }
    log += "OK!\r\nTrying to change the baudrate...\r\n";
    log += std::string("Change Baudrate 115200 -> ") + kRates[s.nSpeedIndex] + "... OK!\r\n";
    log += std::string("Downloading the Boot-Loader (") + (s.bFast ? "5480" : "318508") +
           " bytes)... ";
    log += "OK!\r\n\r\n";
    log += "Jump to Boot-Loader (RAM:0x18000000)... ";
    log += "OK!\r\n";
    log += "Sending the base address of CS0 (0x10000000)... ";
    log += "OK!\r\n";
    log += "Checking FLASH ID... ";
    log += "Detected (Spansion-S71WS128NC0)\r\n";
    log += kNowYouCan;
    return log;
}

class HandshakeE2E : public ::testing::Test, protected testsupport::CSimSession {
  protected:
    void Boot(orielsim::HandsetOptions options) {
        options.bPace = options.bPace && bPace;
        std::string error;
        ASSERT_TRUE(CSimSession::Boot(std::move(options), error)) << error;
    }

    orielsim::HandsetOptions Faulty(Fault::Kind kind, Step step, int nIndex = 0) {
        orielsim::HandsetOptions o;
        o.faults.push_back({kind, step, nIndex});
        return o;
    }

    bool bPace = false;
};

struct Combo {
    int nSpeed;
    int nMode;
    int bFast;
};

std::string ComboName(const ::testing::TestParamInfo<Combo>& p) {
    static const char* const kRateNames[] = {"115200", "230400", "460800", "921600"};
    return std::string(kRateNames[p.param.nSpeed]) + (p.param.nMode ? "_TAT" : "_Normal") +
           (p.param.bFast ? "_Fast" : "_Full");
}

class HandshakeCombos : public HandshakeE2E, public ::testing::WithParamInterface<Combo> {};

TEST_P(HandshakeCombos, ReachesTheIdentifiedFlashWithTheTablesLog) {
    const Combo c = GetParam();
    Boot({});
    HandshakeSettings s;
    s.nSpeedIndex = c.nSpeed;
    s.nMode = c.nMode;
    s.bFast = c.bFast;
    ASSERT_TRUE(Connect(s));
    EXPECT_EQ(console.m_strLog, ExpectedLog(s));
    EXPECT_EQ(session.Engine().m_bIdentified, 1);
    EXPECT_EQ(session.Engine().m_nState, oriel::IDLE);
    EXPECT_EQ(console.m_strFlashId, "Spansion-S71WS128NC0");
    EXPECT_TRUE(console.m_bControlsEnabled);
    EXPECT_EQ(console.m_nProgressPos, 0);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(prompts.m_messages.empty());

    // What the handset saw: the pre-loader as 465 words per boot, the agreed
    // rate, and exactly the embedded boot-loader in 2048-byte blocks.
    const int nBoots = c.nMode == oriel::kModeNormal ? 2 : 1;
    EXPECT_EQ(handset->BootCount(), nBoots);
    EXPECT_EQ(handset->PowerOnCount(), 1);
    EXPECT_EQ(handset->PreloaderWordCount(), 465 * nBoots);
    EXPECT_EQ(handset->RomTimeoutArgument(), 0x10);
    EXPECT_EQ(handset->LastRateIndex(), c.nSpeed);
    EXPECT_TRUE(handset->BootloaderVerified());
    const std::vector<size_t> blocks = handset->BootloaderBlocks();
    const size_t nSize = c.bFast ? oriel::kFastBootloaderSize : oriel::kFullBootloaderSize;
    EXPECT_EQ(handset->BootloaderLength(), nSize);
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.size(), nSize / 2048 + 1);
    EXPECT_TRUE(std::all_of(blocks.begin(), blocks.end() - 1, [](size_t n) { return n == 2048; }));
    EXPECT_EQ(blocks.back(), nSize % 2048);
    EXPECT_EQ(handset->Stage(), orielsim::HandsetStage::BootLoader);
}

INSTANTIATE_TEST_SUITE_P(AllRatesModesAndLoaders, HandshakeCombos,
                         ::testing::Values(Combo{0, 0, 1}, Combo{1, 0, 1}, Combo{2, 0, 1},
                                           Combo{3, 0, 1}, Combo{0, 1, 1}, Combo{1, 1, 1},
                                           Combo{2, 1, 1}, Combo{3, 1, 1}, Combo{0, 0, 0},
                                           Combo{1, 0, 0}, Combo{2, 0, 0}, Combo{3, 0, 0},
                                           Combo{0, 1, 0}, Combo{1, 1, 0}, Combo{2, 1, 0},
                                           Combo{3, 1, 0}),
                         ComboName);

TEST_F(HandshakeE2E, WithLinePacingTheHandshakeStillCompletes) {
    bPace = true;
    Boot({});
    HandshakeSettings s;
    s.nSpeedIndex = 3;
    s.nMode = oriel::kModeTat;
    ASSERT_TRUE(Connect(s));
    EXPECT_EQ(console.m_strLog, ExpectedLog(s));
}

// One failing row of the table for each fault the handset can commit.
struct FaultCase {
    const char* pszName;
    Fault::Kind kind;
    Step step;
    int nIndex;
    const char* pszLogEnd;  // the log must end with this
};

std::string FaultName(const ::testing::TestParamInfo<FaultCase>& p) {
    return p.param.pszName;
}

class HandshakeFaults : public HandshakeE2E, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(HandshakeFaults, EndsInIdleWithItsMessageAndThePortOpen) {
    const FaultCase& f = GetParam();
    Boot(Faulty(f.kind, f.step, f.nIndex));
    HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    s.nSpeedIndex = 2;
    ASSERT_TRUE(Connect(s));
    const std::string& log = console.m_strLog;
    // The failure message is the last thing logged.
    const size_t at = log.rfind(f.pszLogEnd);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("\r\n", at + std::strlen(f.pszLogEnd) - 2), log.size() - 2) << log;
    EXPECT_EQ(session.Engine().m_nState, oriel::IDLE);
    EXPECT_EQ(session.Engine().m_bIdentified, 0);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(prompts.m_messages.empty());
    EXPECT_EQ(handset->FaultsFired(), 1);
}

// The handset spoils a byte by inverting it: 'O' -> 0xB0, 0xAB -> 0x54.
INSTANTIATE_TEST_SUITE_P(
    EveryFailingRow, HandshakeFaults,
    ::testing::Values(
        FaultCase{"IdAck", Fault::Kind::WrongReply, Step::IdAck, 0,
                  "** Sending the customer ID and the same 16 bytes to ORIEL chip... Fail!\r\n"},
        FaultCase{"TimeoutAck", Fault::Kind::WrongReply, Step::TimeoutAck, 0,
                  "** Try to change Timeout !\r\nTimeout change Fail(b0)!\r\n"},
        FaultCase{"LoadAddrAck", Fault::Kind::WrongReply, Step::LoadAddrAck, 0,
                  "(SCRAM: 0x0C000000)... Bad response(0xB0) from ORIEL Chip\r\n"},
        FaultCase{"PreloaderWord", Fault::Kind::WrongReply, Step::PreloaderWord, 200,
                  "(1860 bytes)... Bad response(0xB0) from ORIEL Chip\r\n"},
        FaultCase{"LastPreloaderWord", Fault::Kind::WrongReply, Step::PreloaderWord, 464,
                  "(1860 bytes)... Bad response(0xB0) from ORIEL Chip\r\n"},
        FaultCase{"StartAddrAck", Fault::Kind::WrongReply, Step::StartAddrAck, 0,
                  "(SCRAM:0x0C000000)... Bad response(0xB0) from ORIEL Chip\r\n"},
        FaultCase{"PreloaderReady", Fault::Kind::WrongReply, Step::PreloaderReady, 0,
                  "\r\nStart Pre-Loader... Bad response(0x54) from Pre-Loader\r\n"},
        FaultCase{"LengthSum", Fault::Kind::WrongReply, Step::LengthSum, 0,
                  "(5480 bytes)... Fail in sending the file size!\r\n"},
        FaultCase{"DmaReady", Fault::Kind::WrongReply, Step::DmaReady, 1,
                  "(5480 bytes)... Fail to configure DMA\r\n"},
        FaultCase{"BlockSum", Fault::Kind::WrongReply, Step::BlockSum, 1,
                  "(5480 bytes)... checksum mismatched from Pre-Loader (0x"},
        FaultCase{"LastBlockSum", Fault::Kind::WrongReply, Step::BlockSum, 2,
                  "(5480 bytes)... checksum mismatched from Pre-Loader (0x"},
        FaultCase{"BootloaderReady", Fault::Kind::WrongReply, Step::BootloaderReady, 0,
                  "Jump to Boot-Loader (RAM:0x18000000)... Bad response from Boot-Loader "
                  "(0x54)\r\n"},
        FaultCase{"Cs0Sum", Fault::Kind::WrongReply, Step::Cs0Sum, 0,
                  "Sending the base address of CS0 (0x10000000)... Fail!\r\n"}),
    FaultName);

TEST_F(HandshakeE2E, ChecksumMismatchNamesTheByteReceived) {
    Boot(Faulty(Fault::Kind::WrongReply, Step::BlockSum, 0));
    HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    ASSERT_TRUE(Connect(s));
    const oriel::LoaderImage image = oriel::BootloaderImage(true);
    unsigned sum = 0;
    for (size_t i = 0; i < 2048; ++i) {
        sum += image.pData[i];
    }
    char expected[64];
    std::snprintf(expected, sizeof expected, "checksum mismatched from Pre-Loader (0x%X)\r\n",
                  (sum & 0xFFu) ^ 0xFFu);
    EXPECT_NE(console.m_strLog.find(expected), std::string::npos) << console.m_strLog;
}

TEST_F(HandshakeE2E, ABadGrantGoesBackToWaitingAndTheNextRequestSucceeds) {
    Boot(Faulty(Fault::Kind::WrongReply, Step::Grant));
    HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    ASSERT_TRUE(Connect(s));
    EXPECT_EQ(session.Engine().m_bIdentified, 1);
    const std::string& log = console.m_strLog;
    const std::string bad =
        "** Send '0x44' to ORIEL Chip\r\nBad Response from ORIEL Chip (0xBB)\r\n";
    EXPECT_EQ(log.find(bad), std::string(kStartLog).size()) << log;
    EXPECT_EQ(log.substr(std::string(kStartLog).size() + bad.size()),
              ExpectedLog(s).substr(std::string(kStartLog).size()));
}

TEST_F(HandshakeE2E, RefusedRateChangeShowsItsMessageAndStops) {
    orielsim::HandsetOptions o;
    o.faults.push_back({Fault::Kind::WrongReply, Step::RateSync, 0});
    Boot(o);
    HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    s.nSpeedIndex = 3;
    ASSERT_TRUE(Connect(s));
    EXPECT_NE(
        console.m_strLog.find("OK!\r\nTrying to change the baudrate...\r\n"
                              "** Fail to change the baudrate (252)\r\n** Close COM port\r\n"),
        std::string::npos)
        << console.m_strLog;
    EXPECT_EQ(prompts.MessageTexts(),
              std::vector<std::string>{"Fail to change the baudrate of target!"});
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(session.IsConnected());
    EXPECT_EQ(session.Engine().m_nState, oriel::STATE_NONE);
    EXPECT_FALSE(console.m_bConnected);
}

TEST_F(HandshakeE2E, UnknownFlashIsReportedAndStops) {
    orielsim::HandsetOptions o;
    o.flashId = {0x00, 0x01, 0x22, 0x7E, 0x22, 0x44, 0x22, 0x01};
    Boot(o);
    HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    ASSERT_TRUE(Connect(s));
    EXPECT_NE(console.m_strLog.find(
                  "Checking FLASH ID... "
                  "not supported FLASH(ManuID:1,DevID1:227e,DevID2:2244,DevID3:2201)\r\n"
                  "\r\n** There is nothing to do because of unknown FLASH.\r\n"
                  "\r\n** Close COM port\r\n"),
              std::string::npos)
        << console.m_strLog;
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Unknown Flash!"});
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(session.Engine().m_bIdentified, 0);
    // Stop clears the box again.
    EXPECT_EQ(console.m_strFlashId, "");
}

TEST_F(HandshakeE2E, ThePC0PartIsRecognisedToo) {
    orielsim::HandsetOptions o;
    o.flashId = orielsim::kFlashIdPC0;
    Boot(o);
    HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    ASSERT_TRUE(Connect(s));
    EXPECT_EQ(console.m_strFlashId, "Spansion-S71WS128PC0");
    EXPECT_NE(console.m_strLog.find("Detected (Spansion-S71WS128PC0)\r\n"), std::string::npos);
}

TEST_F(HandshakeE2E, ASilentHandsetLeavesTheHostWaitingUntilStop) {
    Boot(Faulty(Fault::Kind::StopAfter, Step::PreloaderWord, 99));
    HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    ASSERT_TRUE(session.Start(s));
    EXPECT_FALSE(
        loop.RunUntil([this] { return session.Engine().m_nState == oriel::IDLE; }, 1500ms));
    EXPECT_EQ(session.Engine().m_nState, oriel::WAIT_PRELOADER_WORD);
    // Word 99 was the last one answered (and counted); the host sent word 100
    // and waits for its 'O'.
    EXPECT_EQ(handset->PreloaderWordCount(), 100);
    EXPECT_TRUE(port.IsOpen());
    session.Stop();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(session.Engine().m_nState, oriel::STATE_NONE);
    // Closing the port powers the handset off; a new START boots it afresh.
    ASSERT_TRUE(loop.RunUntil([this] { return !handset->HostConnected(); }, 2000ms));
    ASSERT_TRUE(Connect(s));
    EXPECT_EQ(session.Engine().m_bIdentified, 1);
    EXPECT_EQ(handset->PowerOnCount(), 2);
}

TEST_F(HandshakeE2E, StopAfterIdentificationPowersTheHandsetOffAndAllowsANewStart) {
    Boot({});
    HandshakeSettings s;
    s.nMode = oriel::kModeTat;
    ASSERT_TRUE(Connect(s));
    ASSERT_EQ(session.Engine().m_bIdentified, 1);
    session.Stop();
    EXPECT_EQ(console.m_strLog.substr(console.m_strLog.size() - 21), "\r\n** Close COM port\r\n");
    ASSERT_TRUE(
        loop.RunUntil([this] { return handset->Stage() == orielsim::HandsetStage::Off; }, 2000ms));
    console.m_strLog.clear();
    ASSERT_TRUE(Connect(s));
    EXPECT_EQ(console.m_strLog, ExpectedLog(s));
}

}  // namespace
