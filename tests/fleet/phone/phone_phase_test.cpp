// The area download against a scripted modem: frames and blocks of each kind
// of area row, the rows phone mode 1 leaves out, the EFS row with and
// without phone initialisation, the parameter block, and each failure with
// its code and detail.
#include "fleet/phone/phone_phase.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "fleet/images/phone_binary.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/phone/modem_port.h"
#include "fleet/tools/mkimg.h"
#include "fleet/transport/tty_device.h"
#include "tests/fleet/pda/pda_wire.h"
#include "tests/fleet/phone/modem_wire.h"

namespace {

using namespace fleettest;
using fleet::PhoneArea;

class AreaDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fleet::SetPauseScale(0.001);
        ASSERT_EQ(port.Initialise(), 1);
        ASSERT_EQ(port.Open(pty.SlavePath() + ":115200,N,8,0"), 1);
        LoadImage(10 * 1024);
        params.nPhoneMode = 3;
        params.answerWait = 300ms;
        params.eraseAnswerWait = 300ms;
    }
    void TearDown() override { fleet::SetPauseScale(1.0); }

    void LoadImage(size_t length) {
        image = fleet::PatternBytes(length, 21);
        for (size_t i = 0; i < image.size(); i += 1024) {
            image[i] = 0x11;  // no block starts like a frame
        }
        ASSERT_EQ(phone.Attach(dir.Write("phone.bin", image), fleet::PhoneBinaryFile::kModeBlocks),
                  1);
        ASSERT_EQ(phone.Load(0, 0), 1);
        params.pImage = &phone;
    }
    fleet::StepResult Run(const std::vector<PhoneArea>& rows, CScriptedModem::Responder responder,
                          std::string& kinds, std::vector<ModemEvent>& events) {
        areas = rows;
        params.areas = areas;
        CScriptedModem modem(pty, std::move(responder));
        const fleet::StepResult result = fleet::AreaDownload(port, report, params);
        modem.Stop();
        kinds = modem.Kinds();
        events = modem.Events();
        posted = Drain(sink);
        return result;
    }
    // Image bytes of block k as they go out (0xFF past the file's end).
    Bytes Block(size_t k) const {
        Bytes b(1024, 0xFF);
        for (size_t i = 0; i < 1024 && k * 1024 + i < image.size(); ++i) {
            b[i] = image[k * 1024 + i];
        }
        return b;
    }

    CTempDir dir;
    testsupport::CPtyPair pty;
    fleet::ComPort port;
    fleet::PhoneBinaryFile phone;
    Bytes image;
    std::vector<PhoneArea> areas;
    fleet::PhoneParameters params;
    testsupport::CRecordingSink sink;
    fleet::CSlotReporter report{&sink, 1};
    std::vector<Posted> posted;
};

TEST_F(AreaDownloadTest, EachAreaIsGreetedOpenedAndWrittenBlockByBlock) {
    std::string kinds;
    std::vector<ModemEvent> events;
    const fleet::StepResult result =
        Run({{3, 0, 2048, 1025, 0}, {4, 4096, 1024, 1024, 0}, {5, 8192, 0, 0, 0}}, AckAll, kinds,
            events);
    EXPECT_EQ(result.nCode, 314u);
    EXPECT_EQ(kinds, "A0 A0 EF B B A0 A0 EF B A0 A0 EF ")
        << "1025 bytes are 2 blocks, 1024 one, 0 none";
    EXPECT_EQ(events[2].payload, (Bytes{0xEF, 0, 0, 0, 0, 0x00, 0x08, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(events[3].payload, Block(0));
    EXPECT_EQ(events[4].payload, Block(1));
    EXPECT_EQ(events[8].payload, Block(4)) << "the block at start / 1024";
    EXPECT_EQ(Steps(posted),
              (std::vector<Posted>{Phone(308, 3), Phone(309, 3), Phone(312, 100), Phone(308, 4),
                                   Phone(309, 4), Phone(312, 100), Phone(308, 5), Phone(309, 5)}));
    EXPECT_EQ(ArgumentsOf(posted, 312), (std::vector<uint32_t>{0, 50, 100, 0, 100}));
}

TEST_F(AreaDownloadTest, WriteToTheEndTakesTheImageLengthForBothLengths) {
    LoadImage(5000);  // 5120 in whole blocks
    std::string kinds;
    std::vector<ModemEvent> events;
    EXPECT_EQ(Run({{0, 1024, 0x1300000, fleet::kPhoneWriteToEnd, 0}}, AckAll, kinds, events).nCode,
              314u);
    EXPECT_EQ(kinds, "A0 A0 EF B B B B ");
    EXPECT_EQ(fleettest::Le32(events[2].payload.data() + 5), 4096u) << "erase length";
    EXPECT_EQ(fleettest::Le32(events[2].payload.data() + 9), 1024u) << "start";
    EXPECT_EQ(events.back().payload, Block(4)) << "padded with 0xFF";
}

TEST_F(AreaDownloadTest, PhoneModeOneWritesOnlyTheFirstTwoRows) {
    params.nPhoneMode = 1;
    std::string kinds;
    std::vector<ModemEvent> events;
    EXPECT_EQ(Run({{3, 0, 1024, 1024, 0}, {4, 1024, 1024, 1024, 0}, {5, 2048, 1024, 1024, 0}},
                  AckAll, kinds, events)
                  .nCode,
              314u);
    EXPECT_EQ(kinds, "A0 A0 EF B A0 A0 EF B ");
}

TEST_F(AreaDownloadTest, TheEfsRowIsErasedOnlyWithPhoneInitialisation) {
    const std::vector<PhoneArea> rows = {{8, 0x1700000, 0x6900000, 0, 60000},
                                         {3, 0, 1024, 1024, 0}};
    std::string kinds;
    std::vector<ModemEvent> events;
    EXPECT_EQ(Run(rows, AckAll, kinds, events).nCode, 314u);
    EXPECT_EQ(kinds, "A0 A0 A0 A0 EF B ") << "greeted, nothing written, no message";
    EXPECT_EQ(Steps(posted), (std::vector<Posted>{Phone(308, 3), Phone(309, 3), Phone(312, 100)}));

    params.nPhoneInit = 1;
    EXPECT_EQ(Run(rows, AckAll, kinds, events).nCode, 314u);
    EXPECT_EQ(kinds, "A0 A0 E0 A0 A0 EF B ");
    Bytes efs(13, 0);
    efs[0] = 0xE0;
    EXPECT_EQ(events[2].payload, efs);
    EXPECT_EQ(Steps(posted), (std::vector<Posted>{Phone(308, 8), Phone(309, 8), Phone(308, 3),
                                                  Phone(309, 3), Phone(312, 100)}));
}

TEST_F(AreaDownloadTest, TheParameterBlockWhenTheProfileHasOne) {
    params.nParameterBlockFlag = 1;
    std::string kinds;
    std::vector<ModemEvent> events;
    EXPECT_EQ(Run({{7, 0x20000, 0x4000, 0x4000, 0}}, AckAll, kinds, events).nCode, 314u);
    EXPECT_EQ(kinds, "A0 A0 EF FF ");
    ASSERT_EQ(events[3].payload.size(), 31u);
    EXPECT_EQ(fleettest::Le32(events[3].payload.data() + 1), 0x20000u);
    EXPECT_EQ(events[3].payload[5] | events[3].payload[6] << 8, 512);
    EXPECT_TRUE(std::all_of(events[3].payload.begin() + 7, events[3].payload.end(), [](uint8_t b) {
        return b == 0xFF;
    })) << "no header block: the parameter block is all 0xFF";
    EXPECT_EQ(Steps(posted), (std::vector<Posted>{Phone(308, 2), Phone(309, 2), Phone(311, 2),
                                                  Phone(312, 100), Phone(312, 100)}));

    uint8_t header[28];
    for (int i = 0; i < 28; ++i) {
        header[i] = static_cast<uint8_t>(i);
    }
    params.pHeaderBlock = header;
    EXPECT_EQ(Run({{7, 0x20000, 0x4000, 0x4000, 0}}, AckAll, kinds, events).nCode, 314u);
    EXPECT_TRUE(std::equal(header + 4, header + 28, events[3].payload.begin() + 7));
}

TEST_F(AreaDownloadTest, EachRefusalEndsWithItsCode) {
    const std::vector<PhoneArea> rows = {{3, 0, 4096, 4096, 0}};
    std::string kinds;
    std::vector<ModemEvent> events;

    auto refuse = [](uint8_t kind) {
        return [kind](const ModemEvent& e, size_t) {
            const bool bHit = kind == 'B' ? e.bBlock : (!e.bBlock && e.payload[0] == kind);
            return FramedAnswer(bHit ? 0x03 : 0x02);
        };
    };
    fleet::StepResult result = Run(rows, refuse(0xA0), kinds, events);
    EXPECT_EQ(result.nCode, 307u);
    EXPECT_EQ(result.nDetail, 0u);
    EXPECT_EQ(events.size(), 11u) << "sent once, then 10 attempts";

    result = Run(rows, refuse(0xEF), kinds, events);
    EXPECT_EQ(result.nCode, 310u);
    EXPECT_EQ(result.nDetail, 3u) << "the modem's response code";
    EXPECT_EQ(kinds, "A0 A0 EF EF EF EF EF EF EF EF EF EF ");

    // The third of four blocks refused: 313 with 2 x 100 / 4; one attempt.
    result = Run(
        rows,
        [](const ModemEvent& e, size_t i) {
            return FramedAnswer(e.bBlock && i == 5 ? 0x03 : 0x02);
        },
        kinds, events);
    EXPECT_EQ(result.nCode, 313u);
    EXPECT_EQ(result.nDetail, 50u);
    EXPECT_EQ(kinds, "A0 A0 EF B B B ");
    EXPECT_EQ(ArgumentsOf(posted, 312), (std::vector<uint32_t>{0, 25}));

    // Silence after the area is open: the block's answer wait is bounded.
    result = Run(
        rows, [](const ModemEvent& e, size_t) { return e.bBlock ? Bytes{} : FramedAnswer(0x02); },
        kinds, events);
    EXPECT_EQ(result.nCode, 313u);
    EXPECT_EQ(result.nDetail, 0u);
}

TEST_F(AreaDownloadTest, AnImageThatDoesNotReachItsAreaSendsNothingOfIt) {
    LoadImage(3000);
    std::string kinds;
    std::vector<ModemEvent> events;
    fleet::StepResult result =
        Run({{0, 0x380000, 0x1300000, fleet::kPhoneWriteToEnd, 0}}, AckAll, kinds, events);
    EXPECT_EQ(result.nCode, 313u);
    EXPECT_EQ(kinds, "") << "not even greeted: nothing of the area is the image's";

    result = Run({{4, 2048, 4096, 4096, 0}}, AckAll, kinds, events);
    EXPECT_EQ(result.nCode, 313u) << "blocks 2..5 of a 3-block image";
    EXPECT_EQ(kinds, "A0 A0 ") << "the area is not erased for blocks that do not exist";
}

TEST(PhoneLaunchTest, AClosedPortIsAFailedLaunch) {
    fleet::ComPort port;
    EXPECT_EQ(fleet::PhoneLaunch(port, 100ms), -1);
}

}  // namespace

namespace {

TEST(ModemPortLookup, FindsTheLinkOfTheTtyNumberAsAnAbsolutePath) {
    fleettest::CTempDir dir;
    testsupport::CPtyPair modemA;
    testsupport::CPtyPair modemB;
    const std::string a = dir.File("usb-Sim_Handset_A-if00");
    const std::string b = dir.File("usb-Sim_Handset_B-if00");
    std::filesystem::create_symlink(modemA.SlavePath(), a);
    std::filesystem::create_symlink(modemB.SlavePath(), b);
    fleet::ModemInterfaceClass modem;
    modem.strFolder = dir.Path();
    const uint32_t comB = fleet::tty::PortNumberOfTty(modemB.SlavePath());
    EXPECT_EQ(fleet::FindModemPort(modem, comB, "usb-Sim_Handset_B"), b);
    EXPECT_EQ(fleet::FindModemPort(modem, comB, ""), b);
    EXPECT_EQ(fleet::FindModemPort(modem, 0, "usb-Sim_Handset_B"), "");

    // A folder named relative to the working directory (fleet_cli --watch
    // dev) still gives a device path the modem port can open.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::path(dir.Path()).parent_path());
    modem.strFolder = std::filesystem::path(dir.Path()).filename().string();
    const std::string found = fleet::FindModemPort(modem, comB, "usb-Sim_Handset_B");
    std::filesystem::current_path(before);
    EXPECT_EQ(found, b);
    fleet::ComPort port;
    ASSERT_EQ(port.Initialise(), 1);
    EXPECT_EQ(port.Open(found + fleet::kModemLineSettings), 1);
}

}  // namespace
