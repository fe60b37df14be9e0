// The fleet window offscreen: its layout switching, resets, closing, logs and
// how worker codes reach the slots.
#include "fleet/ui/multi_download_dlg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "fleet/transport/slot_messages.h"
#include "fleet/ui/fleet_controls.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "platform/version.h"
#include "tests/oriel/ui/qt_wait.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace fleet;

class FleetWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/fleet_window_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        settings.SetString("Detection", "Folder", m_dir);
        dlg = std::make_unique<CMultiDownloadDlg>(prompts, settings);
        dlg->show();
    }
    void TearDown() override {
        dlg.reset();
        rmdir(m_dir.c_str());
    }
    // Posts a worker message and lets the loop deliver it.
    void Post(uint32_t msg, uint32_t code, int slot, uint32_t arg = 0) {
        dlg->MessageSink().PostMessage(msg, code, MakeSlotLParam(slot, arg));
        QCoreApplication::processEvents();
    }
    // Three slots as if detected and started.
    void ThreeRunning() {
        CSlotBoard& b = dlg->Board();
        b.Detect();
        for (int i = 0; i < 3; ++i) {
            b.SlotAccepted(b.TopFreeSlot());
            b.SlotStarted(i);
        }
    }
    std::string m_dir;
    platform::CMemorySettingsStore settings;
    platform::CScriptedPrompts prompts;
    std::unique_ptr<CMultiDownloadDlg> dlg;
};

// At start the preselected platform (MTX-p440, rev 02 or later) opens its
// options as a choice in the list does; its images come from the program's
// container, so Detect is there without an image picked.
TEST_F(FleetWindow, StartsWithOneSlotShownAndThePreselectedPlatformsOptionsOpen) {
    EXPECT_TRUE(dlg->SlotLabel(0)->isVisible());
    EXPECT_FALSE(dlg->SlotLabel(1)->isVisible());
    EXPECT_EQ(dlg->SlotLabel(0)->text(), "PDA 1");
    EXPECT_EQ(dlg->Progress(0)->Text(), "Waiting for starting..");
    for (int nId : {1019, 1035, 1036, 1037, 1047, 1048, 1050, 1051, 1053, 1021}) {
        EXPECT_TRUE(dlg->Control(nId)->isEnabled()) << nId;
    }
    EXPECT_FALSE(dlg->Control(1022)->isEnabled());
    EXPECT_FALSE(dlg->Control(1052)->isEnabled());
    EXPECT_EQ(static_cast<QPushButton*>(dlg->Control(1019))->text(), "LOADER");
    EXPECT_EQ(static_cast<QComboBox*>(dlg->Control(1070))->currentIndex(), 2);
    EXPECT_TRUE(static_cast<QCheckBox*>(dlg->Control(1047))->isChecked());
    EXPECT_EQ(static_cast<QLabel*>(dlg->Control(1025))->text(), "Currently 0 device(s) detected.");
}

// The About box keeps its own lines and says the version --version says.
TEST_F(FleetWindow, TheAboutBoxShowsTheSuitesVersion) {
    QAction* pAbout = nullptr;
    for (QAction* a : dlg->findChildren<QAction*>()) {
        if (a->text() == "About FLDL...") {
            pAbout = a;
        }
    }
    ASSERT_NE(pAbout, nullptr);
    pAbout->trigger();
    EXPECT_EQ(prompts.MessageTexts(),
              std::vector<std::string>{"Multi-Threaded CrewDownloader\nVersion 2.0 (2007.10.29)\n" +
                                       platform::VersionLine("fleet_downloader")});
}

TEST_F(FleetWindow, ThePlatformListSetsTheOptionsAndTheImageButtonsLabels) {
    auto* platform = static_cast<QComboBox*>(dlg->Control(1070));
    auto choose = [&](int n) {
        platform->setCurrentIndex(n);
        emit platform->activated(n);
    };
    choose(3);  // MTX-Juniper
    for (int nId : {1019, 1035, 1036, 1037, 1048, 1050, 1051, 1053, 1021}) {
        EXPECT_TRUE(dlg->Control(nId)->isEnabled()) << nId;
    }
    EXPECT_EQ(static_cast<QPushButton*>(dlg->Control(1019))->text(), "EBOOT");
    EXPECT_EQ(static_cast<QPushButton*>(dlg->Control(1035))->text(), "PDA");
    choose(1);  // MTX-p440
    EXPECT_EQ(static_cast<QPushButton*>(dlg->Control(1019))->text(), "LOADER");
    choose(0);  // "Please choose a profile!"
    for (int nId : {1019, 1036, 1048, 1021}) {
        EXPECT_FALSE(dlg->Control(nId)->isEnabled()) << nId;
    }
    // A platform whose images come from files only: Detect waits for one.
    auto profiles = BuildPlatformProfiles();
    profiles[2].containerMode = 0;
    dlg->Selection().UseProfiles(profiles);
    choose(3);
    EXPECT_TRUE(dlg->Control(1036)->isEnabled());
    EXPECT_FALSE(dlg->Control(1021)->isEnabled());
}

TEST(DetectionSettings, DefaultsSuitUdevAndTheSimulatorAndAVendorIdIsChecked) {
    platform::CMemorySettingsStore settings;
    DetectionConfig c = ReadDetectionConfig(settings);
    EXPECT_EQ(c.pdaClass.strFolder, "/dev/serial/by-id");
    EXPECT_EQ(c.pdaClass.strPattern, "usb-*-if01*");
    EXPECT_EQ(c.strModemPattern, "usb-*-if00*");
    EXPECT_EQ(c.pdaClass.strVendorId, "");
    EXPECT_EQ(c.strWarning, "");

    settings.SetString("Detection", "VendorId", "0x04E8");
    c = ReadDetectionConfig(settings);
    EXPECT_EQ(c.pdaClass.strVendorId, "04e8");
    EXPECT_EQ(c.strWarning, "");

    // A value that is no vendor id is not taken for one, and the log says so.
    settings.SetString("Detection", "VendorId", "Samsung");
    c = ReadDetectionConfig(settings);
    EXPECT_EQ(c.pdaClass.strVendorId, "");
    EXPECT_NE(c.strWarning.find("\"Samsung\""), std::string::npos);
    char dir[] = "/tmp/fleet_window_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    settings.SetString("Detection", "Folder", dir);
    platform::CScriptedPrompts prompts;
    {
        CMultiDownloadDlg window(prompts, settings);
        EXPECT_TRUE(window.LogText().contains("Detection/VendorId \"Samsung\" is not four hex"));
    }
    // A folder that cannot be watched is said too, not lost: in the log and
    // in a box once the window is up.
    settings.SetString("Detection", "Folder", std::string(dir) + "/missing/deeper");
    {
        CMultiDownloadDlg window(prompts, settings);
        EXPECT_TRUE(window.LogText().contains("missing/deeper")) << window.LogText().toStdString();
        EXPECT_TRUE(prompts.m_messages.empty());
        QCoreApplication::processEvents();
        ASSERT_EQ(prompts.m_messages.size(), 1u);
        EXPECT_EQ(prompts.m_messages[0].text.rfind("HUB RegisterDeviceNotification failed: cannot "
                                                   "watch " +
                                                       std::string(dir) + "/missing/deeper: ",
                                                   0),
                  0u)
            << prompts.m_messages[0].text;
    }
    rmdir(dir);
}

TEST_F(FleetWindow, MultiDownloadGrowsTheWindowAndStartImmediatelyShrinksItBack) {
    dlg->resize(dlg->width(), dlg->minimumSizeHint().height() + 40);
    QCoreApplication::processEvents();
    const int h = dlg->height();
    dlg->SetMultiDownload(true);
    QCoreApplication::processEvents();
    EXPECT_TRUE(dlg->SlotLabel(7)->isVisible());
    EXPECT_FALSE(static_cast<QCheckBox*>(dlg->Control(1047))->isChecked());
    EXPECT_GE(dlg->height(), h + 305);
    dlg->SetStartImmediately(true);
    QCoreApplication::processEvents();
    EXPECT_FALSE(static_cast<QCheckBox*>(dlg->Control(1048))->isChecked());
    EXPECT_FALSE(dlg->SlotLabel(7)->isVisible());
    EXPECT_EQ(dlg->height(), h);
}

TEST_F(FleetWindow, WorkerCodesColourTheSlotsAndEndTheBatch) {
    ThreeRunning();
    Post(WM_PDA_PROGRESS, kPdaProgramProgress, 0, 57);
    EXPECT_EQ(dlg->Progress(0)->Text(), "Writing image 57%");
    EXPECT_EQ(dlg->Progress(0)->Pos(), 57);
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 0, 0);
    EXPECT_EQ(dlg->SlotLabel(0)->BackgroundColour(), kColourBlue);
    EXPECT_TRUE(dlg->Control(1049)->isEnabled());
    EXPECT_FALSE(dlg->Control(1069)->isEnabled());
    Post(WM_PHONE_PROGRESS, kPhoneSwitchStart, 1);
    EXPECT_EQ(dlg->SlotLabel(1)->text(), "PHONE 2");
    Post(WM_PHONE_PROGRESS, kPhoneJumpFailed, 1);
    EXPECT_EQ(dlg->SlotLabel(1)->BackgroundColour(), kColourRed);
    EXPECT_FALSE(dlg->Control(1069)->isEnabled());
    PostSlotLog(&dlg->MessageSink(), 2, "PDA-device checksum 0x00001234\r\n");
    QCoreApplication::processEvents();
    Post(WM_PDA_PROGRESS, kPdaChecksumWrong, 2);
    // The last of three to end opens "reset all" and the selectors again.
    EXPECT_TRUE(dlg->Control(1069)->isEnabled());
    EXPECT_TRUE(dlg->Control(1019)->isEnabled());
    EXPECT_EQ(dlg->Slots().states[2], kSlotFailed);
    EXPECT_NE(dlg->LogText().indexOf("PDA 1 finished downloading!"), -1);

    int shownSlot = -1;
    std::string shown;
    dlg->m_fnShowLog = [&](int slot, const std::string& log) {
        shownSlot = slot;
        shown = log;
    };
    QTest::mouseClick(static_cast<QPushButton*>(dlg->Control(1014)), Qt::LeftButton);  // See Log 3
    EXPECT_EQ(shownSlot, 2);
    EXPECT_EQ(shown, "PDA-device checksum 0x00001234\r\nPDA-Checksum failed!!\r\n");
}

TEST_F(FleetWindow, ResettingASlotLowersItsCounter) {
    ThreeRunning();
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 0);
    Post(WM_PDA_PROGRESS, kPdaLaunchFailed, 1);
    QTest::mouseClick(static_cast<QPushButton*>(dlg->Control(1062)), Qt::LeftButton);  // reset 2
    EXPECT_EQ(dlg->Board().m_nFailed, 0);
    EXPECT_EQ(dlg->Board().m_nFinished, 1);
    EXPECT_EQ(dlg->Board().m_nDetected, 2);
    EXPECT_FALSE(dlg->Control(1062)->isEnabled());
    EXPECT_EQ(dlg->Board().TopFreeSlot(), 1);
    EXPECT_EQ(static_cast<QLabel*>(dlg->Control(1025))->text(), "Currently 2 device(s) detected.");
}

TEST_F(FleetWindow, ClosingAsksOnlyWhileHandsetsAreBeingServed) {
    ThreeRunning();
    prompts.m_okAnswers.push_back(platform::MsgAnswer::Cancel);
    QCloseEvent e1;
    QCoreApplication::sendEvent(dlg.get(), &e1);
    EXPECT_FALSE(e1.isAccepted());
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Now Downloading!!! Quit anyway?"});
    EXPECT_EQ(prompts.m_messages[0].buttons, platform::MsgButtons::OkCancel);
    // Escape asks the same and the window stays.
    prompts.m_okAnswers.push_back(platform::MsgAnswer::Cancel);
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(prompts.m_messages.size(), 2u);
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 0);
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 1);
    Post(WM_PDA_PROGRESS, kPdaLaunchFailed, 2);
    QCloseEvent e2;
    QCoreApplication::sendEvent(dlg.get(), &e2);
    EXPECT_TRUE(e2.isAccepted());
    EXPECT_EQ(prompts.m_messages.size(), 2u);
}

// A start refused (the program file's profile index unreadable or outside
// the table, an unpacked program naming another platform) says why and
// leaves the window as it was: no separators, no control locked.
TEST_F(FleetWindow, ARefusedStartSaysWhyAndLeavesTheControlsAsTheyWere) {
    const auto program = [&](const std::string& name, uint8_t index) {
        std::vector<uint8_t> bytes(64, 0);
        bytes[60] = index;
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {program("other_platform", 3),
         "carries no image container and its last 4 bytes name "
         "platform profile 3, not the chosen platform (1)"},
        {program("out_of_table", 9),
         "names platform profile 9, but there are only profiles 0 to 3"},
        {m_dir + "/missing", "Cannot read the platform profile index from " + m_dir + "/missing"},
    };
    const std::vector<int> ids = {1021, 1022, 1069, 1047, 1048, 1019, 1035, 1036, 1037, 1070};
    for (const auto& [path, why] : cases) {
        prompts.m_messages.clear();
        dlg = std::make_unique<CMultiDownloadDlg>(prompts, settings);
        dlg->SetProgramPath(path);
        dlg->SetStartImmediately(false);
        dlg->Detect();
        CSlotBoard& b = dlg->Board();
        b.SlotAccepted(b.TopFreeSlot());
        std::vector<bool> before;
        for (int nId : ids) {
            before.push_back(dlg->Control(nId)->isEnabled());
        }
        const QString log = dlg->LogText();
        dlg->StartDownloading();
        ASSERT_EQ(prompts.m_messages.size(), 1u) << path;
        EXPECT_NE(prompts.m_messages[0].text.find(why), std::string::npos)
            << prompts.m_messages[0].text;
        for (size_t i = 0; i < ids.size(); ++i) {
            EXPECT_EQ(dlg->Control(ids[i])->isEnabled(), before[i]) << path << ": " << ids[i];
        }
        EXPECT_TRUE(dlg->Control(1022)->isEnabled()) << "Start downloading can be pressed again";
        EXPECT_EQ(dlg->LogText(), log) << "no separators for a start that did not happen";
        EXPECT_EQ(b.Slot(0).nState, kSlotReady);
        remove(path.c_str());
    }
}

int FinishAtOnce(SlotContext* pContext) {
    PostSlotMessage(pContext->pWindow, WM_PDA_PROGRESS, kPdaJobFinished,
                    MakeSlotLParam(pContext->nSlot, 0));
    return 0;
}

// Presses of "Start downloading" posted together (several handsets accepted
// in one go) make one start, and a start never runs inside another, whose
// waits between two workers run the loop.
TEST_F(FleetWindow, QueuedStartsMakeOneStartAndNoneRunsInsideAnother) {
    std::vector<uint8_t> bytes(64, 0);
    bytes[60] = 1;  // the preselected platform's row
    const std::string program = m_dir + "/program";
    std::ofstream(program, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    dlg->SetProgramPath(program);
    dlg->SetWorkers(&FinishAtOnce, &FinishAtOnce);
    dlg->SetStartInterval(std::chrono::milliseconds(100));
    dlg->SetStartImmediately(false);
    dlg->Detect();
    CSlotBoard& b = dlg->Board();
    b.SlotAccepted(b.TopFreeSlot());
    b.SlotAccepted(b.TopFreeSlot());
    dlg->PressStart();
    dlg->PressStart();
    // A press that reaches the loop on its own, while the first start waits.
    QTimer::singleShot(50, dlg.get(), [this] { dlg->StartDownloading(); });
    consoletest::RunEventsUntil([&] { return b.m_nFinished == 2; }, 3000);
    consoletest::RunEventsUntil([] { return false; }, 200);
    EXPECT_EQ(b.m_nFinished, 2);
    // The start's lines, without those of detection and of the workers'
    // ends (which may come while the start waits).
    const std::string separator(87, '-');
    std::vector<std::string> lines;
    for (const QString& line : dlg->LogText().split('\n', Qt::SkipEmptyParts)) {
        if (!line.endsWith(" detected.") && !line.endsWith(" finished downloading!")) {
            lines.push_back(line.toStdString());
        }
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  separator, "PDA 1 starts downloading...", "PDA 2 starts downloading...",
                  separator, "Don't plug it out until the label becomes blue!!! ", separator}))
        << dlg->LogText().toStdString();
    remove(program.c_str());
}

TEST_F(FleetWindow, ResetAllAsksToUnplugFirst) {
    ThreeRunning();
    for (int nId : {1050, 1051}) {  // "Launch after download", "Phone Bootloader Update"
        static_cast<QCheckBox*>(dlg->Control(nId))->setChecked(true);
    }
    // Dismissed with Esc or the close box: nothing is reset.
    prompts.m_okAnswers.push_back(platform::MsgAnswer::Cancel);
    dlg->ResetAll();
    EXPECT_EQ(dlg->Board().m_nDetected, 3);
    EXPECT_TRUE(static_cast<QCheckBox*>(dlg->Control(1051))->isChecked());
    dlg->ResetAll();
    EXPECT_EQ(prompts.MessageTexts(),
              std::vector<std::string>(2, "Unplug all devices and press OK!"));
    EXPECT_EQ(dlg->Board().m_nDetected, 0);
    EXPECT_TRUE(dlg->Control(1021)->isEnabled());
    for (int nId : {1050, 1051, 1052}) {
        EXPECT_FALSE(static_cast<QCheckBox*>(dlg->Control(nId))->isChecked()) << nId;
    }
}

TEST_F(FleetWindow, WritesEachSlotsLogWhenItEnds) {
    settings.SetString("Logs", "Dir", m_dir);
    dlg = std::make_unique<CMultiDownloadDlg>(prompts, settings);
    ThreeRunning();
    dlg->Board().MutableSlot(1).strDeviceName = "usb-Sim_Handset_0042";
    PostSlotLog(&dlg->MessageSink(), 1, "PDA-step one\r\n");
    QCoreApplication::processEvents();
    // The checksum text follows the failing code; the file is written once
    // the worker has ended and all it posted was taken.
    Post(WM_PDA_PROGRESS, kPdaChecksumWrong, 1);
    EXPECT_TRUE(std::filesystem::is_empty(m_dir)) << "written before the worker's last words";
    PostSlotLog(&dlg->MessageSink(), 1, "\tDevice-side Checksum: 1\r\n");
    Post(WM_WORKER_ENDED, 0, 1);
    int nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.starts_with("slot2_usb-Sim_Handset_0042_")) << name;
        std::ifstream f(entry.path());
        const std::string text((std::istreambuf_iterator<char>(f)), {});
        EXPECT_EQ(text, "PDA-step one\r\nPDA-Checksum failed!!\r\n\tDevice-side Checksum: 1\r\n");
        ++nFiles;
        std::filesystem::remove(entry.path());
    }
    EXPECT_EQ(nFiles, 1);
    // A worker that ends without ending its slot leaves nothing to write.
    Post(WM_WORKER_ENDED, 0, 0);
    EXPECT_TRUE(std::filesystem::is_empty(m_dir));
    // A reset pressed while the worker's last words still wait: they are
    // taken, and the log written, before the slot is emptied.
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 2);
    PostSlotLog(&dlg->MessageSink(), 2, "PDA-last words\r\n");
    dlg->MessageSink().PostMessage(WM_WORKER_ENDED, 0, MakeSlotLParam(2, 0));
    dlg->ResetSlot(2);
    EXPECT_EQ(dlg->Board().Slot(2).strLog, "");
    nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
        std::ifstream f(entry.path());
        const std::string text((std::istreambuf_iterator<char>(f)), {});
        EXPECT_EQ(text, "Downloading finished...\r\nPDA-last words\r\n");
        ++nFiles;
        std::filesystem::remove(entry.path());
    }
    EXPECT_EQ(nFiles, 1);
}

TEST_F(FleetWindow, TheSlotLogFolderIsChosenInTheWindowAndKept) {
    QAction* pSave = nullptr;
    for (QAction* a : dlg->findChildren<QAction*>()) {
        if (a->text() == "Save slot logs...") {
            pSave = a;
        }
    }
    ASSERT_NE(pSave, nullptr);
    EXPECT_FALSE(pSave->isChecked());
    // Cancelled: nothing changes.
    pSave->trigger();
    EXPECT_FALSE(pSave->isChecked());
    EXPECT_EQ(settings.GetString("Logs", "Dir", "unset"), "unset");

    const std::string folder = m_dir + "/logs";
    std::filesystem::create_directory(folder);
    prompts.m_folderAnswers.push_back(folder);
    pSave->trigger();
    EXPECT_TRUE(pSave->isChecked());
    EXPECT_EQ(settings.GetString("Logs", "Dir", ""), folder);
    ThreeRunning();
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 0);
    Post(WM_WORKER_ENDED, 0, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

    // The folder goes away: the next slot's log is said to be lost, not lost silently.
    std::filesystem::remove_all(folder);
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 1);
    Post(WM_WORKER_ENDED, 0, 1);
    EXPECT_TRUE(dlg->LogText().contains("The log of slot 2 could not be written to " +
                                        QString::fromStdString(folder)));

    // Unticked: no more files, and the setting says so.
    pSave->trigger();
    EXPECT_FALSE(pSave->isChecked());
    EXPECT_EQ(settings.GetString("Logs", "Dir", "unset"), "");
    std::filesystem::remove_all(m_dir + "/logs");
}

// A device that never answers the handshake (up to seven tries of 11 s)
// does not hold the window: it keeps drawing and taking events, and closes
// at once.
TEST_F(FleetWindow, ADeviceThatDoesNotAnswerNeverFreezesTheWindow) {
    dlg->Board().Detect();
    testsupport::CPtyPair silent;
    ASSERT_EQ(symlink(silent.SlavePath().c_str(), (m_dir + "/usb-Dead_Device-if01").c_str()), 0);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    consoletest::RunEventsUntil([] { return false; }, 600);
    EXPECT_GT(ticks, 10) << "the window stood still while the device was asked";
    EXPECT_TRUE(dlg->Detection().ProbesRunning()) << "the device is still being asked";
    const auto started = std::chrono::steady_clock::now();
    dlg.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    unlink((m_dir + "/usb-Dead_Device-if01").c_str());
}

// What a worker tells the window itself: a line of the shared log ("PDA
// Image part:%d"), a box (" Cfile read error "), shown from the loop.
TEST_F(FleetWindow, AWorkersWindowTextsGoToTheSharedLogAndToABox) {
    ThreeRunning();
    PostWindowText(&dlg->MessageSink(), 0, kWindowTextLog, "PDA Image part:3\r\n");
    PostWindowText(&dlg->MessageSink(), 1, kWindowTextBox, " Cfile read error ");
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dlg->LogText().contains("PDA Image part:3\n")) << dlg->LogText().toStdString();
    EXPECT_EQ(dlg->Board().Slot(0).strLog, "") << "not the slot's log";
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{" Cfile read error "});
}

TEST_F(FleetWindow, SlotsTwoToEightSitInTheMultiProgressGroupAndLabelsUseTheInfoTextColour) {
    QGroupBox* pMulti = nullptr;
    for (QGroupBox* g : dlg->findChildren<QGroupBox*>()) {
        if (g->title() == "Multi Progress") {
            pMulti = g;
        }
    }
    ASSERT_NE(pMulti, nullptr);
    EXPECT_FALSE(pMulti->isVisible());
    EXPECT_TRUE(pMulti->isAncestorOf(dlg->SlotLabel(7)));
    EXPECT_FALSE(pMulti->isAncestorOf(dlg->SlotLabel(0)));
    dlg->SetMultiDownload(true);
    EXPECT_TRUE(pMulti->isVisible());
    dlg->SetMultiDownload(false);
    EXPECT_FALSE(pMulti->isVisible());
    const QColor info = QApplication::palette().color(QPalette::ToolTipText);
    const int64_t ref = (int64_t{info.blue()} << 16) | (int64_t{info.green()} << 8) | info.red();
    for (int i = 0; i < kBoardSlots; ++i) {
        EXPECT_EQ(dlg->SlotLabel(i)->TextColour(), ref) << i;
    }
}

TEST(TextProgress, RepaintsOnlyWhenTheBarGrowsByAPixel) {
    CTextProgressCtrl p;
    p.resize(100, 20);
    p.show();
    p.SetRange(0, 1000);
    p.SetPos(0);
    const int before = p.Repaints();
    p.SetPos(1);  // 0.1 pixel: nothing to draw
    p.SetPos(5);
    EXPECT_EQ(p.Repaints(), before);
    p.SetPos(10);  // one pixel
    EXPECT_EQ(p.Repaints(), before + 1);
    p.SetPos(15);
    EXPECT_EQ(p.Repaints(), before + 1);
}

TEST(SlotLogWindow, ShowsTheSlotsLogUnderItsHeading) {
    CSlotLogDlg dlg(4, "line 1\r\nline 2\r\n");
    EXPECT_EQ(dlg.Heading(), "Thread 5 Log:");
    EXPECT_EQ(dlg.Body(), "line 1\nline 2\n");
    EXPECT_EQ(dlg.windowTitle(), "Log Messages");
    EXPECT_EQ(dlg.font().family(), "Tahoma");  // or the closest face installed
    EXPECT_EQ(dlg.font().pointSize(), 10);
}

}  // namespace
