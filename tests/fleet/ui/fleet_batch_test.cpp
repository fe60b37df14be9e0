// The fleet window offscreen serving eight simulated handsets at once, as an
// operator runs it: the platform chosen, the phone image picked, "Multi
// Download" ticked, Detect pressed, the handsets plugged in. The window
// detects them, starts the workers on the container of a packed program and
// shows each slot's end; every handset then holds the images byte for byte,
// and a handset that refuses a modem block fails its slot alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <thread>

#include "fleet/pda/slot_pause.h"
#include "fleet/phone/phone_phase.h"
#include "fleet/tools/mkimg.h"
#include "fleet/tools/pack.h"
#include "fleet/transport/slot_events.h"
#include "fleet/transport/slot_messages.h"
#include "fleet/ui/fleet_controls.h"
#include "fleet/ui/multi_download_dlg.h"
#include "fleet/ui/workers.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "sim/fleet/fleet_handset.h"
#include "tests/fleet/sim_job.h"
#include "tests/fleet/temp_dir.h"
#include "tests/fleet/wire_sequence.h"
#include "tests/oriel/ui/qt_wait.h"

namespace {

using namespace std::chrono_literals;
using fleettest::CTempDir;

// Control ids of the window.
constexpr int kDetect = 1021;
constexpr int kResetAll = 1069;
constexpr int kMulti = 1048;
constexpr int kStartImmediately = 1047;
constexpr int kEboot = 1019;
constexpr int kPda = 1035;
constexpr int kPhone = 1036;
constexpr int kPlatform = 1070;
constexpr int kJuniperEntry = 3;  // platform list entry of profile row 2
constexpr uint32_t kJuniperRow = 2;

constexpr int kHandsets = 8;
constexpr size_t kPhoneLength = 1300 * 1024 + 300;  // not a whole number of blocks
constexpr uint32_t kCodeArea = 0xE4000;             // where row 2 writes the phone image
constexpr size_t kModemBlock = 1024;

// The code area as a handset must hold it: from its start up to the image's
// end in whole blocks, 0xFF past the file.
std::vector<uint8_t> CodeArea(const std::vector<uint8_t>& phone) {
    const size_t end = (phone.size() + kModemBlock - 1) / kModemBlock * kModemBlock;
    std::vector<uint8_t> area(end - kCodeArea, 0xFF);
    std::copy(phone.begin() + kCodeArea, phone.end(), area.begin());
    return area;
}

class FleetBatchWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        fleet::SetPauseScale(0.01);
        ASSERT_EQ(mkdir(DevDir().c_str(), 0755), 0);
        m_eboot = fleet::PatternBytes(0x30000, 1);
        m_pda = fleet::BuildB000ffImage(3, 5000, 31);
        m_phone = fleet::PatternBytes(kPhoneLength, 41);
        const std::string program = fleettest::PackTestProgram(
            m_dir, m_eboot, m_pda, "fleet_downloader", kJuniperRow, m_nPdaOffset);

        // As the program builds the window.
        m_settings.SetString("Detection", "Folder", DevDir());
        fleet::UseDetectionForModemPorts(fleet::ReadDetectionConfig(m_settings));
        m_pDlg = std::make_unique<fleet::CMultiDownloadDlg>(m_prompts, m_settings);
        m_pDlg->SetWorkers(fleet::ContainerWorker(), fleet::FilesWorker());
        m_pDlg->SetProgramPath(program);
        m_pDlg->SetStartInterval(20ms);
        m_pDlg->show();
    }
    void TearDown() override {
        m_pDlg.reset();  // waits for the workers
        if (m_pFleet) {
            m_pFleet->Stop();
        }
        fleet::SetPhoneSettings({});
        fleet::SetPauseScale(1.0);
    }

    std::string DevDir() const { return m_dir.File("dev"); }
    fleet::CMultiDownloadDlg& Dlg() { return *m_pDlg; }

    void Click(int nId) {
        auto* button = qobject_cast<QAbstractButton*>(Dlg().Control(nId));
        ASSERT_NE(button, nullptr) << nId;
        ASSERT_TRUE(button->isEnabled()) << button->text().toStdString() << " is disabled";
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // The operator's part: platform, phone image, "Multi Download" (for
    // eight slots), Detect.
    void PrepareBatch(bool bMulti = true) {
        auto* platform = static_cast<QComboBox*>(Dlg().Control(kPlatform));
        ASSERT_TRUE(platform->isEnabled());
        platform->setCurrentIndex(kJuniperEntry);
        emit platform->activated(kJuniperEntry);
        m_prompts.m_openAnswers.push_back(m_dir.Write("phone.bin", m_phone));
        Click(kPhone);
        ASSERT_TRUE(Dlg().Selection().PhoneChosen()) << Dlg().LogText().toStdString();
        if (bMulti) {
            Click(kMulti);
            ASSERT_TRUE(Dlg().SlotLabel(kHandsets - 1)->isVisible());
        }
        Click(kDetect);
    }

    // The handsets plugged in; the window's loop runs until every slot ended.
    void RunBatch(std::vector<fleetsim::Fault> faults = {}, int nHandsets = kHandsets) {
        fleetsim::FleetOptions options;
        options.strDir = DevDir();
        options.strStoreDir = m_dir.File("store");
        options.nCount = nHandsets;
        options.settings.nModemDelayMs = 100;
        options.settings.nVerifyDelayMs = 20;
        options.settings.nSignatureDelayMs = 20;
        options.faults = std::move(faults);
        m_pFleet = std::make_unique<fleetsim::CHandsetFleet>(options);
        std::string error;
        ASSERT_TRUE(m_pFleet->Start(error)) << error;
        const fleet::CSlotBoard& board = Dlg().Board();
        ASSERT_TRUE(consoletest::RunEventsUntil(
            [&] { return board.m_nFinished + board.m_nFailed == nHandsets; }, 180000))
            << Dlg().LogText().toStdString();
        // The last messages of the workers.
        consoletest::RunEventsUntil([] { return false; }, 100);
    }

    // The handset the slot served (from 0), or -1.
    int HandsetOfSlot(int nSlot) {
        const std::string& device = Dlg().Board().Slot(nSlot).strDeviceName;
        for (int h = 0; h < kHandsets; ++h) {
            if (device == "usb-Sim_Handset_" + m_pFleet->Handset(h).Serial()) {
                return h;
            }
        }
        return -1;
    }

    // The slot's label and text after a job that ended without the launch.
    void ExpectFinished(int nSlot) {
        SCOPED_TRACE("slot " + std::to_string(nSlot + 1));
        EXPECT_EQ(Dlg().SlotLabel(nSlot)->BackgroundColour(), fleet::kColourBlue);
        EXPECT_EQ(Dlg().SlotLabel(nSlot)->text().toStdString(),
                  "PHONE " + std::to_string(nSlot + 1));
        EXPECT_EQ(Dlg().Progress(nSlot)->Text(), "Job Done.");
        EXPECT_EQ(Dlg().Progress(nSlot)->Pos(), 100);
        const int h = HandsetOfSlot(nSlot);
        ASSERT_GE(h, 0) << Dlg().Board().Slot(nSlot).strDeviceName;
        fleetsim::CSimHandset& handset = m_pFleet->Handset(h);
        EXPECT_EQ(handset.Eboot(), m_eboot);
        EXPECT_EQ(handset.PdaImage(), m_pda);
        EXPECT_EQ(handset.ModemArea(kCodeArea), CodeArea(m_phone));
        EXPECT_EQ(handset.Modem().nEfsErases, 0) << "no phone initialisation was asked for";
        EXPECT_FALSE(handset.Modem().bLaunched) << "Multi Download ends without the launch";
        EXPECT_EQ(handset.Received(), Wire(false));
    }

    // What each handset of the batch must have received, with the phone
    // phase and, unless "Multi Download", the launch.
    std::vector<std::string> Wire(bool bLaunch) const {
        fleettest::WireJob job;
        job.pda = m_pda;
        job.nPdaOffset = m_nPdaOffset;
        job.nPhoneLength = m_phone.size();
        job.bLaunch = bLaunch;
        return fleettest::ContainerJobWire(job);
    }

    // After the batch: the selectors and "reset all" are the operator's again.
    void ExpectBatchEnded() {
        for (int nId : {kEboot, kPda, kPhone, kPlatform, kResetAll}) {
            EXPECT_TRUE(Dlg().Control(nId)->isEnabled()) << nId;
        }
        EXPECT_EQ(static_cast<QLabel*>(Dlg().Control(1025))->text().toStdString(),
                  "Currently 8 device(s) detected.");
        EXPECT_FALSE(Dlg().Board().CloseNeedsConfirmation());
    }

    CTempDir m_dir;
    platform::CScriptedPrompts m_prompts;
    platform::CMemorySettingsStore m_settings;
    std::unique_ptr<fleet::CMultiDownloadDlg> m_pDlg;
    std::unique_ptr<fleetsim::CHandsetFleet> m_pFleet;
    std::vector<uint8_t> m_eboot;
    std::vector<uint8_t> m_pda;
    std::vector<uint8_t> m_phone;
    uint32_t m_nPdaOffset = 0;
};

TEST_F(FleetBatchWindow, EightHandsetsEndBlueHoldingEveryImage) {
    ASSERT_NO_FATAL_FAILURE(PrepareBatch());
    ASSERT_NO_FATAL_FAILURE(RunBatch());
    EXPECT_EQ(Dlg().Board().m_nFinished, kHandsets);
    EXPECT_EQ(Dlg().Board().m_nFailed, 0);
    std::vector<int> served;
    for (int i = 0; i < kHandsets; ++i) {
        ExpectFinished(i);
        served.push_back(HandsetOfSlot(i));
    }
    std::sort(served.begin(), served.end());
    EXPECT_EQ(served, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7})) << "each handset in one slot";
    ExpectBatchEnded();
    EXPECT_TRUE(m_prompts.m_messages.empty()) << m_prompts.MessageTexts().front();
}

TEST_F(FleetBatchWindow, OneHandsetStartedAsItIsDetectedIsLaunched) {
    ASSERT_NO_FATAL_FAILURE(PrepareBatch(false));
    ASSERT_TRUE(static_cast<QCheckBox*>(Dlg().Control(kStartImmediately))->isChecked());
    ASSERT_NO_FATAL_FAILURE(RunBatch({}, 1));
    EXPECT_EQ(Dlg().Board().m_nFinished, 1);
    EXPECT_EQ(Dlg().SlotLabel(0)->BackgroundColour(), fleet::kColourBlue);
    EXPECT_EQ(Dlg().Progress(0)->Text(), "Job Done.Launched!!");
    fleetsim::CSimHandset& handset = m_pFleet->Handset(0);
    EXPECT_EQ(handset.Eboot(), m_eboot);
    EXPECT_EQ(handset.PdaImage(), m_pda);
    EXPECT_EQ(handset.ModemArea(kCodeArea), CodeArea(m_phone));
    EXPECT_TRUE(handset.Modem().bLaunched);
    EXPECT_EQ(handset.Received(), Wire(true));
}

// Two handsets detected together with "Start downloading immediately" set
// press the start twice; the second press must not run inside the first
// (whose waits between starts run the loop): each start's lines stay whole.
TEST_F(FleetBatchWindow, HandsetsArrivingTogetherNeverStartInsideAStart) {
    Dlg().SetStartInterval(150ms);
    ASSERT_NO_FATAL_FAILURE(PrepareBatch(false));
    ASSERT_NO_FATAL_FAILURE(RunBatch({}, 2));
    EXPECT_EQ(Dlg().Board().m_nFinished, 2);
    const std::string separator(87, '-');
    const QStringList lines = Dlg().LogText().split('\n');
    int part = 0;  // 0 outside a start, 1 its starts, 2 its closing lines
    int starts = 0;
    const std::vector<std::string> closing = {"EBOOT will be written. ", "PHONE will be written. ",
                                              "Don't plug it out until the label becomes blue!!! "};
    for (const QString& line : lines) {
        const std::string text = line.toStdString();
        // Only a start's own lines: the workers' and detection's may come
        // while a start waits between two workers.
        const bool bStarts = text.ends_with(" starts downloading...");
        if (text != separator && !bStarts &&
            std::find(closing.begin(), closing.end(), text) == closing.end()) {
            continue;
        }
        if (text == separator) {
            part = (part + 1) % 3;
            continue;
        }
        if (part == 1) {
            EXPECT_TRUE(bStarts) << "among a start's starts: " << text;
            ++starts;
        } else {
            EXPECT_EQ(part, 2) << "outside a start: " << text;
            EXPECT_FALSE(bStarts) << "among a start's closing lines: " << text;
        }
    }
    EXPECT_EQ(part, 0) << "a start left open";
    EXPECT_EQ(starts, 2) << Dlg().LogText().toStdString();
}

TEST_F(FleetBatchWindow, TheWindowTakesWorkerMessagesWhileLaterSlotsWaitTheirStart) {
    // With "Multi Download" the eighth handset detected starts all eight in
    // one go, 150 ms apart. A timer samples the window meanwhile: it only
    // runs if the window's thread is not asleep between the starts.
    Dlg().SetStartInterval(150ms);
    ASSERT_NO_FATAL_FAILURE(PrepareBatch());
    ASSERT_FALSE(static_cast<QCheckBox*>(Dlg().Control(kStartImmediately))->isChecked());
    int nSamplesMidStart = 0;
    int nSlot1MovedMidStart = 0;
    bool bTriedClose = false;
    bool bClosedMidStart = false;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const int started = static_cast<int>(Dlg().LogText().count("starts downloading..."));
        if (started > 0 && started < kHandsets) {
            ++nSamplesMidStart;
            nSlot1MovedMidStart += Dlg().Progress(0)->Text() != "Ready to download..." ? 1 : 0;
            // A close (the window manager's, say) waits for the start to end.
            if (!bTriedClose) {
                bTriedClose = true;
                bClosedMidStart = Dlg().close();
            }
        }
    });
    sampler.start(20);
    ASSERT_NO_FATAL_FAILURE(RunBatch());
    sampler.stop();
    EXPECT_GT(nSamplesMidStart, 10) << "the window stood still while the workers started";
    EXPECT_GT(nSlot1MovedMidStart, 0) << "slot 1's worker messages waited for the last start";
    EXPECT_TRUE(bTriedClose);
    EXPECT_FALSE(bClosedMidStart);
    EXPECT_TRUE(m_prompts.m_messages.empty()) << "no question while the workers start";
    EXPECT_TRUE(Dlg().isVisible());
    EXPECT_EQ(Dlg().Board().m_nFinished, kHandsets);
    for (int i = 0; i < kHandsets; ++i) {
        ExpectFinished(i);
    }
    ExpectBatchEnded();
}

// Quitting while eight slots are busy (paced streams, modem ports that never
// come): the workers are stopped and ended before their ports are closed,
// and the window goes at once instead of after their 20 s waits.
TEST_F(FleetBatchWindow, QuittingDuringABatchStopsEveryWorkerBeforeItsPortsClose) {
    ASSERT_NO_FATAL_FAILURE(PrepareBatch());
    fleetsim::FleetOptions options;
    options.strDir = DevDir();
    options.nCount = kHandsets;
    options.settings.nPaceBytesPerSecond = 100000;
    options.settings.bNoModem = true;
    m_pFleet = std::make_unique<fleetsim::CHandsetFleet>(options);
    std::string error;
    ASSERT_TRUE(m_pFleet->Start(error)) << error;
    auto busy = [&] {
        for (int h = 0; h < kHandsets; ++h) {
            if (m_pFleet->Handset(h).Pda().nRamPackets == 0) {
                return false;
            }
        }
        return true;
    };
    ASSERT_TRUE(consoletest::RunEventsUntil(busy, 60000)) << Dlg().LogText().toStdString();
    m_prompts.m_okAnswers.push_back(platform::MsgAnswer::Ok);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(Dlg().close());
    EXPECT_TRUE(Dlg().AllWorkersEnded());
    m_pDlg.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << "the quit waited for the jobs";
    EXPECT_EQ(m_prompts.MessageTexts(),
              std::vector<std::string>{"Now Downloading!!! Quit anyway?"});
    for (int h = 0; h < kHandsets; ++h) {
        fleetsim::CSimHandset& handset = m_pFleet->Handset(h);
        const auto until = std::chrono::steady_clock::now() + 2s;
        while (handset.PdaHostConnected() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_FALSE(handset.PdaHostConnected()) << h;
    }
}

TEST_F(FleetBatchWindow, AHandsetRefusingAModemBlockEndsRedAndTheOthersBlue) {
    ASSERT_NO_FATAL_FAILURE(PrepareBatch());
    fleetsim::Fault refusal;
    refusal.kind = fleetsim::Fault::Kind::Wrong;
    refusal.step = fleetsim::Step::Block;
    refusal.nIndex = 40;
    refusal.nHandset = 5;
    ASSERT_NO_FATAL_FAILURE(RunBatch({refusal}));
    EXPECT_EQ(Dlg().Board().m_nFinished, kHandsets - 1);
    EXPECT_EQ(Dlg().Board().m_nFailed, 1);
    int nRed = 0;
    for (int i = 0; i < kHandsets; ++i) {
        if (HandsetOfSlot(i) != 4) {
            ExpectFinished(i);
            continue;
        }
        ++nRed;
        EXPECT_EQ(Dlg().SlotLabel(i)->BackgroundColour(), fleet::kColourRed);
        EXPECT_EQ(Dlg().Progress(i)->Text().rfind("Writing failed at ", 0), 0u)
            << Dlg().Progress(i)->Text();
        EXPECT_EQ(Dlg().Slots().states[static_cast<size_t>(i)], fleet::kSlotFailed);
        EXPECT_EQ(m_pFleet->Handset(4).FaultsFired(), 1);
        EXPECT_EQ(m_pFleet->Handset(4).PdaImage(), m_pda) << "the PDA side was done";
        // Everything up to the refused block (the 41st of the code area),
        // nothing after it.
        std::vector<std::string> wire = Wire(false);
        wire.back() = "modem data x41";
        EXPECT_EQ(m_pFleet->Handset(4).Received(), wire);
    }
    EXPECT_EQ(nRed, 1);
    ExpectBatchEnded();
}

// A window loop behind its workers' messages may serve the device folder
// while a slot's "switching to the modem", posted before its modem link
// appeared, still waits in the queue; the slot must get its port all the
// same, or its worker waits in vain and fails.
TEST(FleetWindowModemPort, ALinkServedBeforeTheSwitchMessageStillReachesTheSlot) {
    CTempDir dir;
    platform::CScriptedPrompts prompts;
    platform::CMemorySettingsStore settings;
    settings.SetString("Detection", "Folder", dir.Path());
    fleet::CMultiDownloadDlg dlg(prompts, settings);
    fleet::CSlotBoard& board = dlg.Board();
    board.Detect();
    board.SlotAccepted(board.TopFreeSlot());
    board.SlotStarted(0);
    board.MutableSlot(0).strDeviceName = "usb-Sim_Handset_0042";

    dlg.MessageSink().PostMessage(fleet::WM_PHONE_PROGRESS, fleet::kPhoneSwitchStart,
                                  fleet::MakeSlotLParam(0, 0));
    dir.Write("tty7", {});
    ASSERT_EQ(symlink(dir.File("tty7").c_str(), dir.File("usb-Sim_Handset_0042-if00").c_str()), 0);
    // The loop serves the folder first.
    auto* folder = dlg.findChild<QSocketNotifier*>();
    ASSERT_NE(folder, nullptr);
    QEvent ready(QEvent::SockAct);
    QCoreApplication::sendEvent(folder, &ready);
    consoletest::RunEventsUntil([] { return false; }, 50);

    EXPECT_EQ(dlg.Slots().phoneComNumbers[0].load(), 8) << "tty 7, kept as 7 + 1";
    EXPECT_NE(board.Slot(0).strLog.find("PHONE-COM7 detected\r\n"), std::string::npos)
        << board.Slot(0).strLog;
    fleet::g_phonePortEvents[0].Reset();
}

}  // namespace
