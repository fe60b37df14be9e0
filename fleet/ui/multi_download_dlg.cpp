#include "fleet/ui/multi_download_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <ctime>
#include <fstream>

#include "fleet/images/program_file.h"
#include "fleet/transport/slot_events.h"
#include "fleet/transport/slot_messages.h"
#include "fleet/transport/tty_device.h"
#include "fleet/ui/fleet_controls.h"
#include "fleet/ui/slot_reset.h"
#include "platform/format.h"
#include "platform/prompts.h"
#include "platform/settings_store.h"
#include "platform/version.h"

namespace fleet {

namespace {

// Control ids of the window.
enum : int {
    IDC_DETECT = 1021,
    IDC_START = 1022,
    IDC_RESET_ALL = 1069,
    IDC_START_IMMEDIATELY = 1047,
    IDC_MULTI = 1048,
    IDC_COUNTER = 1025,
    IDC_LOG = 1017,
    IDC_EBOOT = 1019,
    IDC_PDA = 1035,
    IDC_PDA_GSM = 1041,
    IDC_PHONE = 1036,
    IDC_COMBINED = 1037,
    IDC_EBOOT_PATH = 1020,
    IDC_PDA_PATH = 1023,
    IDC_PDA_GSM_PATH = 1040,
    IDC_PHONE_PATH = 1026,
    IDC_LAUNCH = 1050,
    IDC_PHONE_BOOT_UPDATE = 1051,
    IDC_BACKLIGHT = 1052,
    IDC_PHONE_INIT = 1053,
    IDC_PLATFORM_LABEL = 1057,
    IDC_PLATFORM = 1070,
};
constexpr std::array<int, kBoardSlots> kLabelIds{1029, 1027, 1028, 1030, 1031, 1032, 1033, 1034};
constexpr std::array<int, kBoardSlots> kResetIds{1049, 1062, 1063, 1064, 1065, 1066, 1067, 1068};
constexpr std::array<int, kBoardSlots> kSeeLogIds{1012, 1013, 1014, 1015, 1016, 1018, 1038, 1039};
constexpr int kMultiHeight = 305;  // the window grows by this for slots 2-8

const std::string kSeparator = std::string(87, '-') + "\r\n";

QString Qs(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

DetectionConfig ReadDetectionConfig(const platform::ISettingsStore& settings) {
    DetectionConfig c;
    c.pdaClass.strFolder = settings.GetString("Detection", "Folder", c.pdaClass.strFolder);
    c.pdaClass.strPattern = settings.GetString("Detection", "PdaPattern", c.pdaClass.strPattern);
    c.strModemPattern = settings.GetString("Detection", "ModemPattern", c.strModemPattern);
    const std::string vendor = settings.GetString("Detection", "VendorId", "");
    c.pdaClass.strVendorId = tty::NormaliseVendorId(vendor);
    if (!vendor.empty() && c.pdaClass.strVendorId.empty()) {
        c.strWarning = "Detection/VendorId \"" + vendor +
                       "\" is not four hex digits; handsets of any vendor are taken.\r\n";
    }
    return c;
}

CMultiDownloadDlg::CMultiDownloadDlg(platform::IPrompts& prompts,
                                     platform::ISettingsStore& settings, QWidget* parent)
    : QDialog(parent),
      m_prompts(prompts),
      m_settings(settings),
      m_selection(prompts, [this](const std::string& t) { Log(t); }) {
    const DetectionConfig config = ReadDetectionConfig(settings);
    m_strLogDir = settings.GetString("Logs", "Dir", "");
    m_pDetection = std::make_unique<CDetection>(m_board, m_slots.pdaPorts, config);
    m_pDetection->SetStartAction([this] { PressStart(); });
    m_pDetection->SetEnableStartAction([this] { Control(IDC_START)->setEnabled(true); });
    // A handshake ran on a probe's thread: its result is taken here, from
    // the loop.
    m_pDetection->SetProbeWake([this] {
        QMetaObject::invokeMethod(
            this, [this] { OnProbesDone(); }, Qt::QueuedConnection);
    });
    m_pDetection->SetPhonePortLearntAction([this](int nSlot) {
        m_slots.phoneComNumbers[static_cast<size_t>(nSlot)] =
            m_pDetection->PhoneComNumber(nSlot).load();
    });
    m_pDetection->SetPhonePortAction(
        [](int nSlot) { g_phonePortEvents[static_cast<size_t>(nSlot)].Set(); });
    m_target.SetHandler([this](const platform::WindowMessage& m) { OnMessage(m); });
    Build();
    m_pSaveLogs->setChecked(!m_strLogDir.empty());
    const std::vector<std::string> platforms = m_selection.LoadPlatformProfiles();
    for (const std::string& p : platforms) {
        m_pPlatform->addItem(Qs(p));
    }
    m_pPlatform->setCurrentIndex(kInitialComboSelection);
    std::string error;
    if (m_watch.Start(config.pdaClass.strFolder, error)) {
        m_pNotifier = new QSocketNotifier(m_watch.Fd(), QSocketNotifier::Read, this);
        connect(m_pNotifier, &QSocketNotifier::activated, this, [this] { OnDeviceFolder(); });
    }
    InitSlotsUi();
    EnableOptions(false);
    // The preselected platform opens its options, as a choice in the list does.
    ApplyPlatform(kInitialComboSelection);
    // After the slots are set up, which starts the log afresh.
    Log(config.strWarning);
    if (!error.empty()) {
        // Without the watch no handset is ever detected: the operator is
        // told in a box, once the window is up.
        Log(error + "\r\n");
        const std::string box = platform::Format(
            "HUB RegisterDeviceNotification failed: %s\nHandsets attached to this PC will not be "
            "detected. Check the Detection/Folder setting.\n",
            error.c_str());
        QMetaObject::invokeMethod(
            this,
            [this, box] {
                m_prompts.MessageBox(box, platform::MsgButtons::Ok, platform::MsgIcon::Error);
            },
            Qt::QueuedConnection);
    }
    setWindowTitle(Qs(ProgramBaseName()));
}

CMultiDownloadDlg::~CMultiDownloadDlg() {
    m_pDetection->StopProbes();
    m_target.SetHandler(nullptr);
    // The workers borrow the slots' objects: they are asked to stop and
    // waited for before anything of theirs goes.
    m_slots.StopAll(kWorkerStopBound);
    m_slots.JoinAll();
}

bool CMultiDownloadDlg::AllWorkersEnded() const {
    for (int i = 0; i < kBoardSlots; ++i) {
        if (m_slots.WorkerRunning(i)) {
            return false;
        }
    }
    return true;
}

void CMultiDownloadDlg::SetHistory(history::CHistoryRecorder* pRecorder,
                                   const history::HistoryConfig& config) {
    m_history.SetRecorder(pRecorder, config);
    m_pHistoryAction->setEnabled(m_history.Available());
}

void CMultiDownloadDlg::SetWorkers(SlotWorker container, SlotWorker files) {
    m_containerWorker = container;
    m_filesWorker = files;
}

QWidget* CMultiDownloadDlg::Control(int nId) const {
    const auto it = m_controls.find(nId);
    return it == m_controls.end() ? nullptr : it->second;
}

QString CMultiDownloadDlg::LogText() const {
    return m_pLog->toPlainText();
}

void CMultiDownloadDlg::Build() {
    auto add = [this](int nId, QWidget* w) {
        m_controls[nId] = w;
        return w;
    };
    auto* pMain = new QVBoxLayout(this);
    // The About entry lives in the window's menu here.
    auto* pMenuBar = new QMenuBar;
    QMenu* pHelp = pMenuBar->addMenu("Help");
    connect(pHelp->addAction("About FLDL..."), &QAction::triggered, this, [this] {
        m_prompts.MessageBox("Multi-Threaded CrewDownloader\nVersion 2.0 (2007.10.29)\n" +
                                 platform::VersionLine("fleet_downloader"),
                             platform::MsgButtons::Ok, platform::MsgIcon::Information);
    });
    QMenu* pOptions = pMenuBar->addMenu("Options");
    m_pSaveLogs = pOptions->addAction("Save slot logs...");
    m_pSaveLogs->setCheckable(true);
    connect(m_pSaveLogs, &QAction::triggered, this, [this](bool bOn) { ChooseLogFolder(bOn); });
    m_pHistoryAction = pOptions->addAction("History...");
    m_pHistoryAction->setEnabled(false);
    connect(m_pHistoryAction, &QAction::triggered, this,
            [this] { m_history.Show(this, m_prompts); });
    pMain->setMenuBar(pMenuBar);

    auto* pDetectBox = new QGroupBox(" Detect a device");
    auto* pDetect = new QHBoxLayout(pDetectBox);
    auto* pDetectButton = static_cast<QPushButton*>(add(IDC_DETECT, new QPushButton("Detect")));
    auto* pStart = static_cast<QPushButton*>(add(IDC_START, new QPushButton("Start downloading")));
    auto* pResetAll = static_cast<QPushButton*>(add(IDC_RESET_ALL, new QPushButton("reset all")));
    m_pStartImmediately = static_cast<QCheckBox*>(
        add(IDC_START_IMMEDIATELY, new QCheckBox("Start downloading immediately")));
    m_pMulti = static_cast<QCheckBox*>(add(IDC_MULTI, new QCheckBox("Multi Download")));
    m_pCounter =
        static_cast<QLabel*>(add(IDC_COUNTER, new QLabel("Currently 0 device(s) detected.")));
    pDetect->addWidget(pDetectButton);
    pDetect->addWidget(pStart);
    pDetect->addWidget(pResetAll);
    pDetect->addWidget(m_pStartImmediately);
    pDetect->addWidget(m_pMulti);
    pDetect->addStretch(1);
    pDetect->addWidget(m_pCounter);
    pMain->addWidget(pDetectBox);

    // Slot 1 in "Download Progress", slots 2-8 in "Multi Progress" (shown
    // with "Multi Download").
    auto* pProgressBox = new QGroupBox("Download Progress");
    auto* pGrid = new QGridLayout(pProgressBox);
    m_pMultiBox = new QGroupBox("Multi Progress");
    auto* pMultiGrid = new QGridLayout(m_pMultiBox);
    for (int i = 0; i < kBoardSlots; ++i) {
        const size_t s = static_cast<size_t>(i);
        m_apLabel[s] = new CColorLabel(Qs(platform::Format("PDA %d", i + 1)));
        m_apProgress[s] = new CTextProgressCtrl;
        m_apReset[s] = new QPushButton("reset");
        m_apSeeLog[s] = new QPushButton("See Log");
        add(kLabelIds[s], m_apLabel[s]);
        add(1000 + i, m_apProgress[s]);
        add(kResetIds[s], m_apReset[s]);
        add(kSeeLogIds[s], m_apSeeLog[s]);
        QGridLayout* pRows = i == 0 ? pGrid : pMultiGrid;
        pRows->addWidget(m_apLabel[s], i, 0);
        pRows->addWidget(m_apProgress[s], i, 1);
        pRows->addWidget(m_apReset[s], i, 2);
        pRows->addWidget(m_apSeeLog[s], i, 3);
        connect(m_apReset[s], &QPushButton::clicked, this, [this, i] { ResetSlot(i); });
        connect(m_apSeeLog[s], &QPushButton::clicked, this, [this, i] { ShowSlotLog(i); });
    }
    pGrid->setColumnStretch(1, 1);
    pMultiGrid->setColumnStretch(1, 1);
    pMain->addWidget(pProgressBox);
    pMain->addWidget(m_pMultiBox);

    m_pLog = static_cast<QPlainTextEdit*>(add(IDC_LOG, new QPlainTextEdit));
    m_pLog->setReadOnly(true);
    m_pLog->setMinimumHeight(120);
    pMain->addWidget(m_pLog, 1);

    // The image selection: its controls have no place in the original
    // layout, so they live in a panel that can be folded away.
    m_pImages = new QGroupBox("Step 1. Select images to download");
    m_pImages->setCheckable(true);
    auto* pImagesBody = new QWidget;
    auto* pImagesOuter = new QVBoxLayout(m_pImages);
    pImagesOuter->setContentsMargins(0, 0, 0, 0);
    pImagesOuter->addWidget(pImagesBody);
    // Unticking the panel's title folds it away.
    connect(m_pImages, &QGroupBox::toggled, pImagesBody, &QWidget::setVisible);
    auto* pImages = new QGridLayout(pImagesBody);
    const std::pair<int, const char*> toggles[] = {{IDC_EBOOT, "EBoot"},
                                                   {IDC_PDA, "PDA"},
                                                   {IDC_PDA_GSM, "PDA(GSM)"},
                                                   {IDC_PHONE, "Phone"},
                                                   {IDC_COMBINED, "EBOOT+PDA+PHONE"}};
    const int paths[] = {IDC_EBOOT_PATH, IDC_PDA_PATH, IDC_PDA_GSM_PATH, IDC_PHONE_PATH, 0};
    const int kinds[] = {kImageEboot, kImagePda, kImagePdaGsm, kImagePhone, -1};
    for (int k = 0; k < 5; ++k) {
        auto* b =
            static_cast<QPushButton*>(add(toggles[k].first, new QPushButton(toggles[k].second)));
        pImages->addWidget(b, k, 0);
        if (paths[k] != 0) {
            auto* e = static_cast<QLineEdit*>(add(paths[k], new QLineEdit));
            e->setReadOnly(true);
            pImages->addWidget(e, k, 1, 1, 3);
        }
        const int kind = kinds[k];
        connect(b, &QPushButton::clicked, this, [this, kind] {
            if (kind < 0) {
                m_selection.SetCombinedChosen(!m_selection.CombinedChosen());
            } else {
                m_selection.SetImageChosen(kind, m_selection.PathText(kind).empty());
            }
            Refresh();
        });
    }
    Control(IDC_PDA_GSM)->hide();
    Control(IDC_PDA_GSM_PATH)->hide();
    const std::pair<int, const char*> options[] = {
        {IDC_LAUNCH, "Launch after download"},
        {IDC_PHONE_BOOT_UPDATE, "Phone Bootloader Update"},
        {IDC_BACKLIGHT, "turn off backlight"},
        {IDC_PHONE_INIT, "Phone Initialization"}};
    for (int k = 0; k < 4; ++k) {
        pImages->addWidget(add(options[k].first, new QCheckBox(options[k].second)), 5 + k / 2,
                           2 * (k % 2), 1, 2);
    }
    connect(static_cast<QCheckBox*>(Control(IDC_PHONE_INIT)), &QCheckBox::toggled, this,
            [this](bool b) {
                if (b) {
                    m_prompts.MessageBox("All Data will be deleted. ESN, AKEY,Cal Data,etc..",
                                         platform::MsgButtons::Ok, platform::MsgIcon::Warning);
                }
            });
    m_pPlatformLabel = new CColorLabel("Select a platform");
    add(IDC_PLATFORM_LABEL, m_pPlatformLabel);
    m_pPlatform = static_cast<QComboBox*>(add(IDC_PLATFORM, new QComboBox));
    pImages->addWidget(m_pPlatformLabel, 7, 0);
    pImages->addWidget(m_pPlatform, 7, 1, 1, 3);
    connect(m_pPlatform, &QComboBox::activated, this, [this](int n) { ApplyPlatform(n); });
    pMain->addWidget(m_pImages);

    connect(pDetectButton, &QPushButton::clicked, this, [this] { Detect(); });
    connect(pStart, &QPushButton::clicked, this, [this] { StartDownloading(); });
    connect(pResetAll, &QPushButton::clicked, this, [this] { ResetAll(); });
    connect(m_pMulti, &QCheckBox::clicked, this, [this](bool b) { SetMultiDownload(b); });
    connect(m_pStartImmediately, &QCheckBox::clicked, this,
            [this](bool b) { SetStartImmediately(b); });
}

void CMultiDownloadDlg::ApplyPlatform(int nComboSelection) {
    m_selection.OnPlatformSelected(nComboSelection);
    m_board.SetProfile(m_selection.CurrentProfile());
    // A platform opens the image buttons and the options, Detect among them;
    // no platform locks them again. A platform whose images come from files
    // only (no container mode) has Detect wait for an image.
    const PlatformControls& pc = m_selection.Controls();
    EnableOptions(pc.bOptionsEnabled);
    const PlatformProfile* profile = m_selection.CurrentProfile();
    if (profile != nullptr && profile->containerMode == 0 && !pc.bDetectEnabled) {
        Control(IDC_DETECT)->setEnabled(false);
    }
    static_cast<QPushButton*>(Control(IDC_EBOOT))->setText(Qs(pc.strEbootButton));
    static_cast<QPushButton*>(Control(IDC_PDA))->setText(Qs(pc.strPdaButton));
    Refresh();
}

void CMultiDownloadDlg::Log(const std::string& text) {
    m_board.AppendLog(text);
    ShowLog();
}

void CMultiDownloadDlg::ShowLog() {
    // Only what is new goes into the box; a reset empties it.
    const std::string& log = m_board.Log();
    if (log.size() < m_nLogShown) {
        m_pLog->clear();
        m_nLogShown = 0;
    }
    if (log.size() == m_nLogShown) {
        return;
    }
    QString t = Qs(log.substr(m_nLogShown));
    t.replace("\r\n", "\n");
    m_pLog->moveCursor(QTextCursor::End);
    m_pLog->insertPlainText(t);
    m_pLog->verticalScrollBar()->setValue(m_pLog->verticalScrollBar()->maximum());
    m_nLogShown = log.size();
}

void CMultiDownloadDlg::EnableOptions(bool bOn) {
    for (int nId : {IDC_EBOOT, IDC_PDA, IDC_PDA_GSM, IDC_PHONE, IDC_COMBINED, IDC_START_IMMEDIATELY,
                    IDC_MULTI, IDC_PHONE_BOOT_UPDATE, IDC_PHONE_INIT, IDC_LAUNCH, IDC_DETECT}) {
        Control(nId)->setEnabled(bOn);
    }
}

void CMultiDownloadDlg::InitSlotsUi() {
    // Handshakes still under way would take slots of the board made anew.
    m_pDetection->StopProbes();
    m_board.InitSlots();
    for (int i = 0; i < kBoardSlots; ++i) {
        m_slots.pdaPorts[static_cast<size_t>(i)].Close();
        m_slots.phonePorts[static_cast<size_t>(i)].Close();
        m_slots.states[static_cast<size_t>(i)] = kSlotEmpty;
        m_slots.deviceNames[static_cast<size_t>(i)].clear();
        m_slots.phoneComNumbers[static_cast<size_t>(i)] = 0;
        m_pDetection->ClearSlot(i);
        m_apReset[static_cast<size_t>(i)]->setEnabled(false);
    }
    m_slots.nFreeCount = kSlotCount;
    m_pStartImmediately->setChecked(true);
    m_pStartImmediately->setEnabled(true);
    Control(IDC_BACKLIGHT)->setEnabled(false);
    // "Phone Bootloader Update", "turn off backlight" and "Launch after
    // download" start unticked, as "Multi Download" does.
    for (int nId : {IDC_PHONE_BOOT_UPDATE, IDC_BACKLIGHT, IDC_LAUNCH}) {
        static_cast<QCheckBox*>(Control(nId))->setChecked(false);
    }
    for (int nId : {IDC_EBOOT, IDC_PDA, IDC_PHONE, IDC_COMBINED, IDC_PLATFORM}) {
        Control(nId)->setEnabled(true);
    }
    Control(IDC_DETECT)->setEnabled(false);
    Control(IDC_RESET_ALL)->setEnabled(false);
    Control(IDC_START)->setEnabled(false);
    m_pMulti->setChecked(false);
    for (int i = 1; i < kBoardSlots; ++i) {
        for (QWidget* w : {static_cast<QWidget*>(m_apLabel[static_cast<size_t>(i)]),
                           static_cast<QWidget*>(m_apProgress[static_cast<size_t>(i)]),
                           static_cast<QWidget*>(m_apReset[static_cast<size_t>(i)]),
                           static_cast<QWidget*>(m_apSeeLog[static_cast<size_t>(i)])}) {
            w->hide();
        }
    }
    m_pMultiBox->hide();
    // Each slot label in the system's info-text colour.
    const QColor info = QApplication::palette().color(QPalette::ToolTipText);
    for (CColorLabel* pLabel : m_apLabel) {
        pLabel->SetTextColour((int64_t{info.blue()} << 16) | (int64_t{info.green()} << 8) |
                              int64_t{info.red()});
    }
    ShowLog();
    Refresh();
}

void CMultiDownloadDlg::RefreshSlot(int i) {
    const SlotView& v = m_board.Slot(i);
    const size_t s = static_cast<size_t>(i);
    m_apLabel[s]->setText(Qs(v.strLabel));
    m_apLabel[s]->SetBackgroundColour(v.nLabelColour);
    m_apProgress[s]->SetText(v.strProgressText);
    m_apProgress[s]->SetPos(v.nProgress);
    if (v.bResetEnabled) {
        m_apReset[s]->setEnabled(true);
    }
}

void CMultiDownloadDlg::Refresh() {
    for (int i = 0; i < kBoardSlots; ++i) {
        RefreshSlot(i);
    }
    const PlatformControls& pc = m_selection.Controls();
    m_pPlatformLabel->SetBackgroundColour(pc.nPlatformLabelColour);
    static_cast<QLineEdit*>(Control(IDC_EBOOT_PATH))
        ->setText(Qs(m_selection.PathText(kImageEboot)));
    static_cast<QLineEdit*>(Control(IDC_PDA_PATH))->setText(Qs(m_selection.PathText(kImagePda)));
    static_cast<QLineEdit*>(Control(IDC_PHONE_PATH))
        ->setText(Qs(m_selection.PathText(kImagePhone)));
    if (pc.bDetectEnabled && m_board.m_bDetectArmed == 0) {
        Control(IDC_DETECT)->setEnabled(true);
    }
    RefreshBatch();
}

void CMultiDownloadDlg::RefreshBatch() {
    m_pCounter->setText(Qs(m_board.CounterText()));
    if (m_board.SelectorsEnabled() && m_board.BatchEnded()) {
        for (int nId : {IDC_EBOOT, IDC_PDA, IDC_PDA_GSM, IDC_PHONE, IDC_COMBINED, IDC_PLATFORM,
                        IDC_RESET_ALL}) {
            Control(nId)->setEnabled(true);
        }
    }
}

void CMultiDownloadDlg::Detect() {
    m_board.Detect();
    m_pDetection->SetStartImmediately(m_pStartImmediately->isChecked());
    EnableOptions(false);
    if (!m_pStartImmediately->isChecked()) {
        Control(IDC_START)->setEnabled(true);
    }
    Refresh();
}

void CMultiDownloadDlg::PressStart() {
    // Like a posted button command: it runs from the loop, not inside
    // detection. Handsets accepted together share one start.
    if (m_bStartQueued) {
        return;
    }
    m_bStartQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_bStartQueued = false;
            StartDownloading();
        },
        Qt::QueuedConnection);
}

void CMultiDownloadDlg::StartDownloading() {
    // Never inside another start (its waits run the loop): the slots that
    // one started are this one's too, and nothing new is accepted meanwhile.
    if (m_bStarting) {
        return;
    }
    for (int i = 0; i < kBoardSlots; ++i) {
        m_slots.states[static_cast<size_t>(i)] = m_board.Slot(i).nState;
        m_slots.deviceNames[static_cast<size_t>(i)] = m_board.Slot(i).strDeviceName;
    }
    SlotStartRequest request = StartRequest();
    // A start that cannot go ahead says why and changes nothing: no
    // separators, every control as it was.
    const std::string refusal = StartRefusal(m_slots, request);
    if (!refusal.empty()) {
        m_prompts.MessageBox(refusal, platform::MsgButtons::Ok, platform::MsgIcon::Warning);
        Refresh();
        return;
    }
    Log(kSeparator);
    const bool bWatching = m_pNotifier != nullptr && m_pNotifier->isEnabled();
    if (m_pNotifier != nullptr) {
        m_pNotifier->setEnabled(false);
    }
    m_bStarting = true;
    const SlotStartResult result = StartReadySlots(m_slots, request);
    m_bStarting = false;
    if (m_bProbesDeferred) {
        m_bProbesDeferred = false;
        QMetaObject::invokeMethod(
            this, [this] { OnProbesDone(); }, Qt::QueuedConnection);
    }
    if (m_pNotifier != nullptr) {
        m_pNotifier->setEnabled(bWatching);
    }
    // A start abandoned at a slot whose program file would not open skips
    // the rest of the sequence; the slots started keep running.
    if (result.outcome == StartOutcome::Completed) {
        Log(kSeparator);
        if (m_selection.EbootChosen()) {
            Log("EBOOT will be written. \r\n");
        }
        if (m_selection.PhoneChosen()) {
            Log("PHONE will be written. \r\n");
        }
        Log("Don't plug it out until the label becomes blue!!! \r\n");
        Log(kSeparator);
        for (int nId : {IDC_START, IDC_START_IMMEDIATELY, IDC_MULTI, IDC_EBOOT, IDC_PDA,
                        IDC_PDA_GSM, IDC_PHONE, IDC_COMBINED, IDC_RESET_ALL, IDC_PLATFORM}) {
            Control(nId)->setEnabled(false);
        }
        m_pStartImmediately->setChecked(true);
        m_pDetection->SetStartImmediately(true);
    }
    Refresh();
}

SlotStartRequest CMultiDownloadDlg::StartRequest() {
    SlotStartRequest request;
    request.strProgramPath = m_strProgramPath;
    request.profiles = m_selection.Profiles();
    request.nPlatformRow = m_selection.CurrentProfileIndex();
    request.pSelection = &m_selection;
    request.options.bPhoneChosen = m_selection.PhoneChosen();
    request.options.bPhoneBootloaderUpdate =
        static_cast<QCheckBox*>(Control(IDC_PHONE_BOOT_UPDATE))->isChecked();
    request.options.bMultiDownload = m_pMulti->isChecked();
    request.options.bPhoneInit = static_cast<QCheckBox*>(Control(IDC_PHONE_INIT))->isChecked();
    request.pWindow = &m_target;
    request.pPrompts = &m_prompts;
    request.fnLog = [this](const std::string& t) { Log(t); };
    request.containerWorker = m_containerWorker;
    request.filesWorker = m_filesWorker;
    request.interval = m_startInterval;
    // Between two starts the window keeps drawing and taking the messages of
    // the workers already started. The operator's input and new handsets
    // wait until every ready slot has started: neither may start or reset a
    // slot inside this loop.
    request.fnStarted = [this](int i) {
        if (m_board.Slot(i).nState == kSlotReady) {
            m_board.SlotStarted(i);
            m_history.Slots().SlotStarted(i, m_slots);
        }
        RefreshSlot(i);
    };
    request.fnWait = [](std::chrono::milliseconds interval) {
        QEventLoop wait;
        QTimer::singleShot(interval, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    };
    return request;
}

void CMultiDownloadDlg::ResetSlot(int nSlot) {
    // The worker's last messages are taken first: its log is saved whole
    // before the reset empties it.
    m_slots.JoinWorker(nSlot);
    QCoreApplication::sendPostedEvents(&m_target);
    ResetEndedSlot(m_slots, *m_pDetection, m_board, nSlot);
    m_apReset[static_cast<size_t>(nSlot)]->setEnabled(false);
    Refresh();
}

void CMultiDownloadDlg::ResetAll() {
    // Esc or the close box answers Cancel: nothing is reset.
    if (m_prompts.MessageBox("Unplug all devices and press OK!", platform::MsgButtons::Ok,
                             platform::MsgIcon::None) != platform::MsgAnswer::Ok) {
        return;
    }
    m_slots.JoinAll();
    QCoreApplication::sendPostedEvents(&m_target);
    SetMultiDownload(false);
    InitSlotsUi();
    EnableOptions(true);
    Control(IDC_DETECT)->setEnabled(true);
    Refresh();
}

void CMultiDownloadDlg::ShowSlotLog(int nSlot) {
    const std::string log = m_board.Slot(nSlot).strLog;
    if (m_fnShowLog) {
        m_fnShowLog(nSlot, log);
        return;
    }
    CSlotLogDlg dlg(nSlot, log, this);
    dlg.exec();
}

void CMultiDownloadDlg::SetMultiDownload(bool bOn) {
    const bool bWasOn = m_bMultiShown;
    m_pMulti->setChecked(bOn);
    if (bOn == bWasOn) {
        return;
    }
    m_bMultiShown = bOn;
    if (bOn) {
        m_nOneSlotHeight = height();
        m_nOneSlotMinimum = minimumHeight();
    }
    for (int i = 1; i < kBoardSlots; ++i) {
        for (QWidget* w : {static_cast<QWidget*>(m_apLabel[static_cast<size_t>(i)]),
                           static_cast<QWidget*>(m_apProgress[static_cast<size_t>(i)]),
                           static_cast<QWidget*>(m_apReset[static_cast<size_t>(i)]),
                           static_cast<QWidget*>(m_apSeeLog[static_cast<size_t>(i)])}) {
            w->setVisible(bOn);
        }
    }
    m_pMultiBox->setVisible(bOn);
    // The rows just shown or hidden change the minimum the layout allows.
    layout()->invalidate();
    layout()->activate();
    if (!bOn) {
        // The layout does not lower the minimum it raised for the eight rows.
        setMinimumHeight(m_nOneSlotMinimum);
    }
    // 305 pixels more for slots 2-8 (or what their rows need), and back.
    resize(width(), bOn ? std::max(m_nOneSlotHeight + kMultiHeight, minimumSizeHint().height())
                        : m_nOneSlotHeight);
    if (bOn) {
        m_pStartImmediately->setChecked(false);
    }
}

void CMultiDownloadDlg::SetStartImmediately(bool bOn) {
    m_pStartImmediately->setChecked(bOn);
    if (bOn && m_pMulti->isChecked()) {
        SetMultiDownload(false);
    }
}

void CMultiDownloadDlg::ChooseLogFolder(bool bOn) {
    std::string folder;
    if (bOn) {
        folder = m_prompts.PickFolder(m_strLogDir);
        if (folder.empty()) {
            m_pSaveLogs->setChecked(!m_strLogDir.empty());
            return;
        }
        Log(platform::Format("Slot logs go to %s\r\n", folder.c_str()));
    }
    m_strLogDir = folder;
    m_settings.SetString("Logs", "Dir", folder);
    m_pSaveLogs->setChecked(!m_strLogDir.empty());
}

void CMultiDownloadDlg::SaveSlotLog(int nSlot) {
    if (m_strLogDir.empty()) {
        return;
    }
    const SlotView& v = m_board.Slot(nSlot);
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &t);
    std::string device = v.strDeviceName.empty() ? "unknown" : v.strDeviceName;
    for (char& c : device) {
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) {
            c = '_';
        }
    }
    const std::string path =
        m_strLogDir + "/" + platform::Format("slot%d_%s_%s.log", nSlot + 1, device.c_str(), stamp);
    std::ofstream file(path, std::ios::binary);
    file << v.strLog;
    file.close();
    if (!file) {
        // The record of a handset is not lost without a word.
        Log(platform::Format("The log of slot %d could not be written to %s\r\n", nSlot + 1,
                             path.c_str()));
    }
}

void CMultiDownloadDlg::OnMessage(const platform::WindowMessage& msg) {
    const int nMsgSlot = SlotOfLParam(msg.lParam);
    if (msg.nMsg == WM_PDA_PROGRESS) {
        const int nSlot = SlotOfLParam(msg.lParam);
        m_board.OnPdaProgress(static_cast<uint32_t>(msg.wParam), msg.lParam);
        if (nSlot >= 0 && nSlot < kBoardSlots) {
            m_slots.states[static_cast<size_t>(nSlot)] = m_board.Slot(nSlot).nState;
        }
    } else if (msg.nMsg == WM_PHONE_PROGRESS) {
        const int nSlot = SlotOfLParam(msg.lParam);
        m_board.OnPhoneProgress(static_cast<uint32_t>(msg.wParam), msg.lParam);
        if (nSlot >= 0 && nSlot < kBoardSlots) {
            m_slots.states[static_cast<size_t>(nSlot)] = m_board.Slot(nSlot).nState;
        }
    } else if (msg.nMsg == WM_SLOT_LOG) {
        const std::unique_ptr<char[]> text = AdoptSlotLogText(msg);
        if (text) {
            m_board.OnSlotLog(SlotOfLParam(msg.lParam), text.get());
        }
    } else if (msg.nMsg == WM_WINDOW_TEXT) {
        const std::unique_ptr<char[]> text = AdoptSlotLogText(msg);
        if (!text) {
            return;
        }
        if (ArgumentOfLParam(msg.lParam) == kWindowTextBox) {
            // Shown from the loop, not from inside this handler.
            QMetaObject::invokeMethod(
                this,
                [this, box = std::string(text.get())] {
                    m_prompts.MessageBox(box, platform::MsgButtons::Ok, platform::MsgIcon::Error);
                },
                Qt::QueuedConnection);
        } else {
            Log(text.get());
        }
        return;
    } else if (msg.nMsg == WM_WORKER_ENDED) {
        // Everything the worker posted has been taken: its slot's log is
        // whole (the checksum text after 213 comes after the code).
        // The slot's history record is written here too, with the log whole.
        if (nMsgSlot >= 0 && nMsgSlot < kBoardSlots && m_board.Slot(nMsgSlot).Ended()) {
            m_history.Slots().SlotEnded(nMsgSlot, m_board.Slot(nMsgSlot), m_slots, m_selection);
            SaveSlotLog(nMsgSlot);
        }
        return;
    } else {
        return;
    }
    if (nMsgSlot >= 0 && nMsgSlot < kBoardSlots) {
        // Eight streaming workers post thousands of messages a second; each
        // changes its own slot and the batch, nothing else on the window.
        RefreshSlot(nMsgSlot);
    }
    ShowLog();
    RefreshBatch();
}

void CMultiDownloadDlg::OnDeviceFolder() {
    // What the workers posted before these links appeared is handled first,
    // as it happened: a loop behind its messages would otherwise see a modem
    // port arrive before its slot's "switching to the modem" and drop it.
    QCoreApplication::sendPostedEvents(&m_target);
    for (const DeviceLinkEvent& e : m_watch.ReadEvents()) {
        m_pDetection->SetStartImmediately(m_pStartImmediately->isChecked());
        m_pDetection->SetBacklightOff(static_cast<QCheckBox*>(Control(IDC_BACKLIGHT))->isChecked());
        m_pDetection->OnDeviceEvent(e);
    }
    ShowLog();
    Refresh();
}

void CMultiDownloadDlg::OnProbesDone() {
    // Like new handsets, a handshake's result waits for the start to end.
    if (m_bStarting) {
        m_bProbesDeferred = true;
        return;
    }
    m_pDetection->SetStartImmediately(m_pStartImmediately->isChecked());
    m_pDetection->SetBacklightOff(static_cast<QCheckBox*>(Control(IDC_BACKLIGHT))->isChecked());
    m_pDetection->CompleteProbes();
    ShowLog();
    Refresh();
}

bool CMultiDownloadDlg::QuitConfirmed() {
    if (m_board.CloseNeedsConfirmation() &&
        m_prompts.MessageBox("Now Downloading!!! Quit anyway?", platform::MsgButtons::OkCancel,
                             platform::MsgIcon::Question) != platform::MsgAnswer::Ok) {
        return false;
    }
    // The workers stop first; a port is closed only once its worker has
    // ended, never under a read of it.
    m_pDetection->StopProbes();
    m_slots.StopAll(kWorkerStopBound);
    // What the stopped workers posted last, their slots' logs included.
    QCoreApplication::sendPostedEvents(&m_target);
    for (int i = 0; i < kBoardSlots; ++i) {
        if (!m_slots.WorkerRunning(i)) {
            m_slots.pdaPorts[static_cast<size_t>(i)].Close();
            m_slots.phonePorts[static_cast<size_t>(i)].Close();
        }
    }
    return true;
}

void CMultiDownloadDlg::closeEvent(QCloseEvent* e) {
    // A close asked for while the workers are being started waits: the ports
    // it would close are being handed to them.
    if (m_bStarting) {
        e->ignore();
        return;
    }
    if (QuitConfirmed()) {
        e->accept();
    } else {
        e->ignore();
    }
}

// Escape ends a dialog without a close event; it asks the same question.
void CMultiDownloadDlg::reject() {
    if (QuitConfirmed()) {
        QDialog::reject();
    }
}

}  // namespace fleet
