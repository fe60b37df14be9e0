#include "oriel/ui/downloader_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QStyle>
#include <QTabBar>
#include <QTextCursor>
#include <QTextEdit>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "oriel/engine/crc32.h"
#include "oriel/engine/file_object.h"
#include "oriel/engine/nor_download.h"
#include "oriel/link/port_choice.h"
#include "oriel/link/port_names.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/code_page.h"
#include "oriel/ui/about_dlg.h"
#include "oriel/ui/console_text.h"
#include "oriel/ui/mfx_explorer_dlg.h"
#include "oriel/ui/port_settings_dlg.h"
#include "platform/format.h"
#include "platform/prompts.h"
#include "platform/qt_history_view.h"
#include "platform/settings_store.h"

namespace oriel {

namespace {

constexpr char kImageFilterBin[] =
    "bin file (*.bin)|*.bin|cla file (*.cla)|*.cla|all files (*.*)|*.*||";
constexpr char kImageFilterCla[] =
    "cla file (*.cla)|*.cla|bin file (*.bin)|*.bin|all files (*.*)|*.*||";
constexpr char kMfxFilter[] = "mfx file (*.mfx)|*.mfx||";
constexpr char kWelcome[] =
    "Welcome to Tamarin Downloader!!\r\n\r\nPress 'START' button to identify the FLASH ID...";
constexpr int kSpeedCount = 4;
constexpr int kModeCount = 2;
constexpr int kTabCount = 2;
constexpr int kDownloadTypeBin = 0;
constexpr int kDownloadTypeMfx = 1;
// No image for a 16 MB NOR is larger than the NOR; the CRC of anything larger
// would only hold the UI thread.
constexpr int64_t kCrcSizeLimit = 16 * 1024 * 1024;

QString Qs(const std::string& s) {
    return QString::fromStdString(s);
}

QLineEdit* ReadOnlyEdit() {
    auto* p = new QLineEdit;
    p->setReadOnly(true);
    // Selectable for copying, but never where the keyboard focus lands when
    // START disables the lists.
    p->setFocusPolicy(Qt::ClickFocus);
    return p;
}

QPushButton* PushLikeCheckBox(const char* pszText) {
    auto* p = new QPushButton(pszText);
    p->setCheckable(true);
    p->setAutoDefault(false);
    return p;
}

// Controls of the rows "Main Binary" and "BP Engine", which tab "Alder2" hides.
bool IsSecondOrThirdRow(int nId) {
    return std::any_of(kImageRows.begin() + 2, kImageRows.end(), [nId](const ImageRowIds& r) {
        return nId == r.nAddrCheck || nId == r.nAddr || nId == r.nPath || nId == r.nBin ||
               nId == r.nDownload || nId == r.nCrcButton;
    });
}

QPushButton* Button(const char* pszText) {
    auto* p = new QPushButton(pszText);
    p->setAutoDefault(false);
    return p;
}

}  // namespace

CDownloaderDlg::CDownloaderDlg(CSerialPort& port, platform::ISettingsStore& settings,
                               platform::IPrompts& prompts, QWidget* parent)
    : QDialog(parent),
      m_port(port),
      m_settings(settings),
      m_session(port, *this, prompts, &m_timers),
      m_prompts(m_session.Prompts()),
      m_windowPrompts(prompts) {
    BuildUi();
    m_port.SetSettings(&m_settings);
    m_port.SetPrompts(&m_prompts);
    m_port.SetMessageSink(&m_target);
    m_target.SetHandler([this](const platform::WindowMessage& msg) { m_session.OnMessage(msg); });
    m_session.Download().SetFileChecks([this] { return FileChecks(); });
    m_portWatch.SetChangedAction([this] { RefreshComList(); });
    ConnectActions();
    Initialise();
    resize(std::max(sizeHint().width(), 660), 780);
}

CDownloaderDlg::~CDownloaderDlg() {
    // The receive thread must be gone before the target it posts to.
    m_timers.KillTimer(kBaudTimerId);
    if (m_port.IsOpen()) {
        m_port.Close();
    }
    m_port.SetMessageSink(nullptr);
}

template <class T>
T* CDownloaderDlg::Add(int nId, T* pWidget) {
    m_controls[nId] = pWidget;
    return pWidget;
}

QWidget* CDownloaderDlg::Control(int nId) const {
    const auto it = m_controls.find(nId);
    return it == m_controls.end() ? nullptr : it->second;
}

// --- layout ------------------------------------------------------------------

void CDownloaderDlg::BuildUi() {
    setWindowTitle(Qs(ConsoleTitle()));
    setWindowIcon(style()->standardIcon(QStyle::SP_DriveFDIcon));
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    setSizeGripEnabled(true);

    auto* pTop = new QVBoxLayout(this);
    pTop->addWidget(BuildConnectionArea());
    pTop->addWidget(BuildFilesArea());
    pTop->addWidget(BuildOperationsArea());

    m_pProgress = Add(IDC_PROGRESS, new QProgressBar);
    m_pProgress->setRange(0, 100);
    m_pProgress->setValue(0);
    pTop->addWidget(m_pProgress);

    m_pLog = Add(IDC_LOG, new QTextEdit);
    m_pLog->setReadOnly(true);
    m_pLog->setAcceptRichText(false);
    m_pLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pLog->setLineWrapMode(QTextEdit::WidgetWidth);
    m_pLog->setMinimumHeight(120);
    pTop->addWidget(m_pLog, 1);

    // The dialog's Cancel exists (Esc still closes the dialog) but is never shown.
    auto* pCancel = Add(IDC_CANCEL, Button("Cancel"));
    pCancel->setParent(this);
    pCancel->hide();
    connect(pCancel, &QPushButton::clicked, this, &QDialog::reject);
}

QWidget* CDownloaderDlg::BuildConnectionArea() {
    auto* pArea = new QWidget;
    auto* pGrid = new QGridLayout(pArea);
    pGrid->setContentsMargins(0, 0, 0, 0);

    auto* pSerial = new QGroupBox(" Serial Port ");
    auto* pSerialGrid = new QGridLayout(pSerial);
    m_pComList = Add(IDC_COM_LIST, new QComboBox);
    // The drop-down shows beside each COM number the port present it opens,
    // and below them the ports no COM number opens yet.
    m_pComModel = new QStandardItemModel(0, 3, m_pComList);
    for (uint16_t n = 1; n <= kMaxPortNumber; ++n) {
        m_pComModel->appendRow({new QStandardItem(Qs(platform::Format("COM%d", n))),
                                new QStandardItem, new QStandardItem});
    }
    auto* pComView = new QTreeView;
    pComView->setHeaderHidden(true);
    pComView->setRootIsDecorated(false);
    pComView->setItemsExpandable(false);
    pComView->setUniformRowHeights(true);
    pComView->setAllColumnsShowFocus(true);
    pComView->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    pComView->header()->setStretchLastSection(false);
    m_pComList->setModel(m_pComModel);
    m_pComList->setView(pComView);
    m_pComList->setModelColumn(0);
    m_pComList->setMaxVisibleItems(kMaxPortNumber);
    m_pPortPath = Add(IDC_PORT_PATH, ReadOnlyEdit());
    m_pPortPath->setToolTip("Device this COM number opens (settings group \"Ports\")");
    m_pPortPath->setMinimumWidth(m_pPortPath->fontMetrics().horizontalAdvance(QString(26, 'x')));
    auto* pPortEdit = Add(IDC_PORT_EDIT, Button("Device..."));
    pPortEdit->setToolTip("Change the device this COM number opens");
    m_pSpeedList = Add(IDC_SPEED_LIST, new QComboBox);
    for (uint32_t nBaud : kBaudTable) {
        m_pSpeedList->addItem(QString::number(nBaud));
    }
    pSerialGrid->addWidget(m_pComList, 0, 0);
    pSerialGrid->addWidget(m_pSpeedList, 0, 1);
    pSerialGrid->addWidget(m_pPortPath, 0, 2);
    pSerialGrid->addWidget(pPortEdit, 0, 3);
    pSerialGrid->setColumnStretch(2, 1);

    auto* pMode = new QGroupBox("Mode");
    auto* pModeLayout = new QVBoxLayout(pMode);
    m_pModeList = Add(IDC_MODE_LIST, new QComboBox);
    m_pModeList->addItem("Normal");
    m_pModeList->addItem("TAT");
    pModeLayout->addWidget(m_pModeList);
    pModeLayout->addStretch(1);

    auto* pFlash = new QGroupBox(" FLASH ID ");
    auto* pFlashLayout = new QVBoxLayout(pFlash);
    m_pFlashId = Add(IDC_FLASH_ID, ReadOnlyEdit());
    m_pFlashId->setMinimumWidth(
        m_pFlashId->fontMetrics().horizontalAdvance("Spansion-S71WS128NC0") + 24);
    pFlashLayout->addWidget(m_pFlashId);
    pFlashLayout->addStretch(1);

    pGrid->addWidget(pSerial, 0, 0);
    pGrid->addWidget(pMode, 0, 1);
    pGrid->addWidget(pFlash, 0, 2);
    pGrid->setColumnStretch(0, 1);

    auto* pButtons = new QHBoxLayout;
    auto* pStart = Add(IDC_START, new QPushButton("START"));
    pStart->setDefault(true);
    pButtons->addWidget(pStart);
    pButtons->addWidget(Add(IDC_STOP, Button("Stop")));
    pButtons->addSpacing(12);
    m_pFast = Add(IDC_FAST, PushLikeCheckBox("Fast DownLoad"));
    m_pAuto = Add(IDC_AUTO, PushLikeCheckBox("Auto DownLoad"));
    pButtons->addWidget(m_pFast);
    pButtons->addWidget(m_pAuto);
    pButtons->addStretch(1);
    pButtons->addWidget(Add(IDC_HISTORY, Button("History...")));
    Control(IDC_HISTORY)->setEnabled(false);
    pButtons->addWidget(Add(IDC_ABOUT, Button("About...")));
    pButtons->addWidget(Add(IDC_EXIT, Button("Exit")));
    pGrid->addLayout(pButtons, 1, 0, 1, 3);
    return pArea;
}

QGroupBox* CDownloaderDlg::BuildImageRow(int nRow, const char* pszTitle) {
    const ImageRowIds& ids = kImageRows[static_cast<size_t>(nRow)];
    ImageRow& row = m_rows[static_cast<size_t>(nRow)];
    row.pGroup = Add(ids.nGroup, new QGroupBox(pszTitle));
    auto* pGrid = new QGridLayout(row.pGroup);
    pGrid->setVerticalSpacing(4);

    row.pPath = Add(ids.nPath, ReadOnlyEdit());
    row.pBin = Add(ids.nBin, Button("BIN..."));
    row.pDownload = Add(ids.nDownload, Button("DOWNLOAD"));
    row.pAddrCheck = Add(ids.nAddrCheck, new QCheckBox("Start NOR Addr(hex):"));
    row.pAddr = Add(ids.nAddr, new QLineEdit(kDefaultAddr[static_cast<size_t>(nRow)]));
    row.pAddr->setMaximumWidth(row.pAddr->fontMetrics().horizontalAdvance("0x100000000") + 16);
    auto* pSizeLabel = Add(ids.nSizeLabel, new QLabel("Size :"));
    row.pSize = Add(ids.nSize, ReadOnlyEdit());
    row.pSize->setAlignment(Qt::AlignRight);
    auto* pBytesLabel = Add(ids.nBytesLabel, new QLabel("bytes"));
    row.pCrcButton = Add(ids.nCrcButton, Button("CRC CheckSum"));
    row.pCrc = Add(ids.nCrc, ReadOnlyEdit());

    pGrid->addWidget(row.pPath, 0, 0, 1, 5);
    pGrid->addWidget(row.pBin, 0, 5);
    pGrid->addWidget(row.pDownload, 0, 6);
    pGrid->addWidget(row.pAddrCheck, 1, 0);
    pGrid->addWidget(row.pAddr, 1, 1);
    pGrid->addWidget(pSizeLabel, 1, 2, Qt::AlignRight);
    pGrid->addWidget(row.pSize, 1, 3);
    pGrid->addWidget(pBytesLabel, 1, 4);
    pGrid->addWidget(row.pCrcButton, 1, 5);
    pGrid->addWidget(row.pCrc, 1, 6);
    pGrid->setColumnStretch(3, 1);
    pGrid->setColumnStretch(6, 1);
    return row.pGroup;
}

QWidget* CDownloaderDlg::BuildMfxRow() {
    auto* pRow = new QWidget;
    auto* pGrid = new QGridLayout(pRow);
    pGrid->setContentsMargins(0, 0, 0, 0);

    // The download type: what the DOWNLOAD buttons write (shown with the
    // rest of this row, for a service desk).
    auto* pTypes = new QWidget(pRow);
    auto* pTypeLayout = new QHBoxLayout(pTypes);
    pTypeLayout->addWidget(Add(IDC_TYPE_BIN, new QRadioButton("BIN")));
    pTypeLayout->addWidget(Add(IDC_TYPE_MFX, new QRadioButton("MFX")));
    pTypeLayout->addWidget(Add(IDC_TYPE_BIN_MFX, new QRadioButton("BIN + MFX")));
    pTypeLayout->setContentsMargins(0, 0, 0, 0);

    m_pMfxPath = Add(IDC_MFX_PATH, ReadOnlyEdit());
    auto* pChoose = Add(IDC_MFX_CHOOSE, Button("MFX..."));
    auto* pSizeLabel = Add(IDC_MFX_SIZE_LABEL, new QLabel("Size :"));
    m_pMfxSize = Add(IDC_MFX_SIZE, ReadOnlyEdit());
    m_pMfxSize->setAlignment(Qt::AlignRight);
    auto* pBytesLabel = Add(IDC_MFX_BYTES_LABEL, new QLabel("bytes"));
    m_pMfxCrcButton = Add(IDC_MFX_CRC_BUTTON, Button("CRC CheckSum"));
    m_pMfxCrc = Add(IDC_MFX_CRC, ReadOnlyEdit());

    pGrid->addWidget(m_pMfxPath, 0, 0, 1, 4);
    pGrid->addWidget(pChoose, 0, 4);
    pGrid->addWidget(pSizeLabel, 1, 0, Qt::AlignRight);
    pGrid->addWidget(m_pMfxSize, 1, 1);
    pGrid->addWidget(pBytesLabel, 1, 2);
    pGrid->addWidget(m_pMfxCrcButton, 1, 3);
    pGrid->addWidget(m_pMfxCrc, 1, 4);
    pGrid->addWidget(pTypes, 2, 0, 1, 5);
    pGrid->setColumnStretch(0, 1);
    return pRow;
}

QWidget* CDownloaderDlg::BuildFilesArea() {
    auto* pArea = new QWidget;
    auto* pLayout = new QVBoxLayout(pArea);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);

    m_pTab = Add(IDC_TAB, new QTabBar);
    m_pTab->addTab("Tamarin2");
    m_pTab->addTab("Alder2");
    m_pTab->setExpanding(false);
    m_pTab->setDrawBase(false);
    pLayout->addWidget(m_pTab);

    auto* pFiles = new QGroupBox("  Files to Download  ");
    auto* pFilesLayout = new QVBoxLayout(pFiles);
    pFilesLayout->addWidget(BuildImageRow(1, "Boot Loader"));
    pFilesLayout->addWidget(BuildImageRow(2, "Main Binary"));
    pFilesLayout->addWidget(BuildImageRow(3, "BP Engine"));

    m_pMfxRow = BuildMfxRow();
    pFilesLayout->addWidget(m_pMfxRow);

    auto* pAll = new QHBoxLayout;
    m_pAllDownload = Add(IDC_ALL_DOWNLOAD, Button("All Download"));
    m_pPowerOn = Add(IDC_POWER_ON, PushLikeCheckBox("Power ON after download"));
    pAll->addWidget(m_pAllDownload);
    pAll->addWidget(m_pPowerOn);
    m_pVerify = Add(IDC_VERIFY, PushLikeCheckBox("Verify after download"));
    pAll->addWidget(m_pVerify);
    pAll->addStretch(1);
    pFilesLayout->addLayout(pAll);
    pLayout->addWidget(pFiles);
    return pArea;
}

QWidget* CDownloaderDlg::BuildOperationsArea() {
    auto* pArea = new QWidget;
    auto* pLayout = new QHBoxLayout(pArea);
    pLayout->setContentsMargins(0, 0, 0, 0);

    auto* pNor = new QGroupBox(" NOR Flash Operation ");
    auto* pNorLayout = new QHBoxLayout(pNor);
    pNorLayout->addWidget(Add(IDC_ERASE, Button("Erase...")));
    pNorLayout->addWidget(Add(IDC_DUMP, Button("Dump...")));
    pLayout->addWidget(pNor);

    auto* pNand = Add(IDC_NAND_GROUP, new QGroupBox(" NAND Flash Operation "));
    auto* pNandLayout = new QHBoxLayout(pNand);
    pNandLayout->addWidget(Add(IDC_FORMAT, Button("Format")));
    pNandLayout->addWidget(Add(IDC_EXPLORER, Button("Explorer...")));
    pNandLayout->addWidget(Add(IDC_STATUS, Button("Status")));
    pLayout->addWidget(pNand);
    pLayout->addStretch(1);
    return pArea;
}

void CDownloaderDlg::SetHistory(history::CHistoryRecorder* pRecorder,
                                const history::HistoryConfig& config) {
    m_history = config;
    m_session.Journal().SetRecorder(pRecorder, config.strStation, history::kFrontEndWindow);
    Control(IDC_HISTORY)->setEnabled(!config.target.IsOff());
}

platform::CHistoryView* CDownloaderDlg::HistoryView() const {
    return m_pHistoryView;
}

void CDownloaderDlg::ShowHistory() {
    if (m_history.target.IsOff()) {
        return;
    }
    if (m_pHistoryView == nullptr) {
        m_pHistoryView = new platform::CHistoryView(history::kOrielHistory, m_history.target,
                                                    m_windowPrompts, this);
        m_pHistoryView->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_pHistoryView->show();
    m_pHistoryView->raise();
    m_pHistoryView->activateWindow();
}

void CDownloaderDlg::ConnectActions() {
    connect(ControlAs<QPushButton>(IDC_START), &QPushButton::clicked, this, [this] { OnStart(); });
    connect(ControlAs<QPushButton>(IDC_STOP), &QPushButton::clicked, this, [this] { OnStop(); });
    connect(ControlAs<QPushButton>(IDC_EXIT), &QPushButton::clicked, this, &QDialog::accept);
    connect(ControlAs<QPushButton>(IDC_ABOUT), &QPushButton::clicked, this, [this] {
        CAboutDlg dlg(this);
        dlg.exec();
    });
    connect(ControlAs<QPushButton>(IDC_HISTORY), &QPushButton::clicked, this,
            [this] { ShowHistory(); });
    connect(ControlAs<QPushButton>(IDC_PORT_EDIT), &QPushButton::clicked, this,
            [this] { OnEditPortPath(); });
    for (int nId : {IDC_COM_LIST, IDC_SPEED_LIST, IDC_MODE_LIST}) {
        connect(ControlAs<QComboBox>(nId), &QComboBox::currentIndexChanged, this,
                [this, nId] { OnListChanged(nId); });
    }
    connect(m_pFast, &QPushButton::toggled, this, [this](bool b) { OnFastToggled(b); });
    connect(m_pAuto, &QPushButton::toggled, this, [this](bool b) { OnAutoToggled(b); });
    connect(m_pPowerOn, &QPushButton::toggled, this, [this] { SyncControls(); });
    connect(m_pVerify, &QPushButton::toggled, this, [this](bool bOn) {
        if (!m_bInitialising) {
            m_settings.SetInt(kSettingsGroup, "Verify", bOn ? 1 : 0);
        }
        SyncControls();
    });
    connect(m_pTab, &QTabBar::currentChanged, this, [this](int n) { OnTabChanged(n); });

    for (int nRow = 1; nRow <= 3; ++nRow) {
        const ImageRow& row = m_rows[static_cast<size_t>(nRow)];
        connect(row.pAddrCheck, &QCheckBox::toggled, this,
                [this, nRow](bool b) { OnAddrCheck(nRow, b); });
        connect(row.pAddr, &QLineEdit::textChanged, this, [this] { SyncControls(); });
        connect(row.pBin, &QPushButton::clicked, this, [this, nRow] { OnChooseBin(nRow); });
        connect(row.pCrcButton, &QPushButton::clicked, this, [this, nRow] { OnCrc(nRow); });
        connect(row.pDownload, &QPushButton::clicked, this, [this, nRow] { OnDownload(nRow); });
    }
    connect(m_pAllDownload, &QPushButton::clicked, this, [this] {
        SyncControls();
        m_session.Download().DownloadAll();
    });
    connect(ControlAs<QPushButton>(IDC_ERASE), &QPushButton::clicked, this,
            [this] { m_session.Erase().StartErase(); });
    connect(ControlAs<QPushButton>(IDC_DUMP), &QPushButton::clicked, this,
            [this] { m_session.Dump().StartNorDump(); });
    connect(ControlAs<QPushButton>(IDC_MFX_CHOOSE), &QPushButton::clicked, this,
            [this] { OnChooseMfx(); });
    connect(m_pMfxCrcButton, &QPushButton::clicked, this, [this] { OnMfxCrc(); });
    const int anTypes[] = {IDC_TYPE_BIN, IDC_TYPE_MFX, IDC_TYPE_BIN_MFX};
    for (int nType = 0; nType < 3; ++nType) {
        connect(ControlAs<QRadioButton>(anTypes[nType]), &QRadioButton::clicked, this,
                [this, nType] { OnDownloadType(nType); });
    }
    connect(ControlAs<QPushButton>(IDC_FORMAT), &QPushButton::clicked, this,
            [this] { m_session.Nand().StartFormat(); });
    connect(ControlAs<QPushButton>(IDC_STATUS), &QPushButton::clicked, this,
            [this] { m_session.Nand().StartStatus(); });
    connect(ControlAs<QPushButton>(IDC_EXPLORER), &QPushButton::clicked, this,
            [this] { OnExplorer(); });
}

void CDownloaderDlg::OnExplorer() {
    SetProgressPos(0);
    CMfxExplorerDlg dlg(m_session, m_prompts, this);
    dlg.Start();
    dlg.exec();
}

// --- initialisation ------------------------------------------------------------

void CDownloaderDlg::Initialise() {
    m_bInitialising = true;
    CDownloaderEngine& e = m_session.Engine();
    e.m_bIdentified = 0;
    e.m_nState = STATE_NONE;
    e.m_nOperation = 0;
    m_nDownloadType = kDownloadTypeBin;
    m_session.Download().m_bDownloadAll = 0;

    m_bFast = m_settings.GetInt(kSettingsGroup, "Fast", 1) != 0 ? 1 : 0;
    m_bAuto = m_settings.GetInt(kSettingsGroup, "Auto", 0) != 0 ? 1 : 0;
    for (int i = 1; i <= 4; ++i) {
        m_astrBinPath[static_cast<size_t>(i)] =
            m_settings.GetString(kSettingsGroup, platform::Format("BinPath%d", i), "");
    }
    m_strOgmPath = m_settings.GetString(kSettingsGroup, "OgmPath", "");
    // The charset of PC-side names in MFX packages; empty = the locale's.
    SetAnsiCodePage(m_settings.GetString(kSettingsGroup, "CodePage", ""));
    m_strCfgPath = CfgPathFor(m_strOgmPath);
    m_pMfxPath->setText(Qs(m_strOgmPath));
    m_pFast->setChecked(m_bFast != 0);
    m_pAuto->setChecked(m_bAuto != 0);
    m_pVerify->setChecked(m_settings.GetInt(kSettingsGroup, "Verify", 0) != 0);
    ControlAs<QRadioButton>(IDC_TYPE_BIN)->setChecked(true);

    // A service desk shows the NAND and MFX controls; a production line does not.
    m_bShowNand = m_settings.GetInt(kSettingsGroup, "ShowNand", 0) == 1;
    Control(IDC_NAND_GROUP)->setVisible(m_bShowNand);
    m_pMfxRow->setVisible(m_bShowNand);

    m_nTab = ClampIndex(m_settings.GetInt(kSettingsGroup, "TabNum", kTabAlder2), kTabCount);
    ApplySituation(Situation::Initialisation);
    m_pTab->setCurrentIndex(m_nTab);
    LayRowsOut(m_nTab);

    ReplaceLog(kWelcome);

    m_pComList->setCurrentIndex(
        ClampIndex(m_settings.GetInt(kSettingsGroup, "COM", 0), kMaxPortNumber));
    m_pSpeedList->setCurrentIndex(
        ClampIndex(m_settings.GetInt(kSettingsGroup, "SPEED", 0), kSpeedCount));
    m_pModeList->setCurrentIndex(
        ClampIndex(m_settings.GetInt(kSettingsGroup, "Mode", 0), kModeCount));
    RefreshComList();
    SyncControls();
    m_bInitialising = false;
}

void CDownloaderDlg::SetPortScan(const platform::SerialPortScan& scan) {
    m_portWatch.SetScan(scan);
    RefreshComList();
}

HandshakeSettings CDownloaderDlg::Choices() const {
    HandshakeSettings s;
    s.nComIndex = ClampIndex(m_pComList->currentIndex(), kMaxPortNumber);
    s.nSpeedIndex = ClampIndex(m_pSpeedList->currentIndex(), kSpeedCount);
    s.nMode = ClampIndex(m_pModeList->currentIndex(), kModeCount);
    s.bFast = m_bFast;
    s.bAuto = m_bAuto;
    return s;
}

// --- enabling ------------------------------------------------------------------

void CDownloaderDlg::ApplySituation(Situation situation) {
    for (const EnableRow& row : kEnableTable) {
        const Rule rule = row.aRule[static_cast<size_t>(situation)];
        if (rule == Rule::Keep) {
            continue;
        }
        bool bOn = rule == Rule::On;
        if (rule == Rule::OnForBinType) {
            bOn = m_nDownloadType != kDownloadTypeMfx;
        } else if (rule == Rule::OnForAll) {
            bOn = m_nTab == kTabAlder2 || FileChecks() == 0;
        }
        for (int nId : row.anIds) {
            if (nId == 0) {
                break;
            }
            QWidget* pWidget = Control(nId);
            const bool bHiddenRow = m_nTab == kTabAlder2 && IsSecondOrThirdRow(nId);
            if (pWidget != nullptr) {
                pWidget->setEnabled(bOn && !bHiddenRow);
            }
        }
    }
}

void CDownloaderDlg::DisableControls() {
    m_bOperationControlsOn = false;
    ApplySituation(Situation::DisableControls);
}

void CDownloaderDlg::EnableOperationControls() {
    ApplySituation(Situation::FinishOperation);
    m_bOperationControlsOn = true;
}

void CDownloaderDlg::ConnectionStarted() {
    ApplySituation(Situation::Start);
}

void CDownloaderDlg::ConnectionStopped() {
    m_bOperationControlsOn = false;
    ApplySituation(Situation::Stop);
}

// --- log, progress, flash ID ---------------------------------------------------

void CDownloaderDlg::AppendLog(const std::string& text) {
    QTextCursor cursor(m_pLog->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(Qs(ToWidgetLineEnds(text)));
    // Scrolled to the end without taking the keyboard focus from what the
    // operator may be typing.
    m_pLog->setTextCursor(cursor);
    m_pLog->ensureCursorVisible();
}

void CDownloaderDlg::ReplaceLog(const std::string& text) {
    m_pLog->setPlainText(Qs(ToWidgetLineEnds(text)));
    m_pLog->moveCursor(QTextCursor::End);
    m_pLog->ensureCursorVisible();
}

std::string CDownloaderDlg::LogText() const {
    return m_pLog->toPlainText().toStdString();
}

void CDownloaderDlg::SetProgressRange(int32_t nMax) {
    // A range of 0..0 would turn the bar into a busy indicator.
    m_pProgress->setRange(0, std::max<int32_t>(nMax, 1));
}

void CDownloaderDlg::SetProgressPos(int32_t nPos) {
    m_pProgress->setValue(std::clamp(nPos, m_pProgress->minimum(), m_pProgress->maximum()));
}

void CDownloaderDlg::SetFlashId(const std::string& text) {
    m_pFlashId->setText(Qs(text));
}

// --- START, Stop, lists, options ---------------------------------------------

void CDownloaderDlg::OnStart() {
    SyncControls();
    m_session.Start(Choices());
}

void CDownloaderDlg::OnStop() {
    m_session.Stop();
}

void CDownloaderDlg::OnListChanged(int nId) {
    if (m_bInitialising) {
        return;
    }
    if (nId == IDC_COM_LIST) {
        if (m_pComList->currentIndex() >= kMaxPortNumber) {
            TakeListedPort(m_pComList->currentIndex());
        } else {
            ComChosen();
        }
    } else if (nId == IDC_SPEED_LIST) {
        m_settings.SetInt(kSettingsGroup, "SPEED", m_pSpeedList->currentIndex());
    } else {
        m_settings.SetInt(kSettingsGroup, "Mode", m_pModeList->currentIndex());
    }
}

void CDownloaderDlg::OnFastToggled(bool bOn) {
    if (m_bInitialising) {
        return;
    }
    m_bFast = bOn ? 1 : 0;
    m_settings.SetInt(kSettingsGroup, "Fast", m_bFast);
}

void CDownloaderDlg::OnAutoToggled(bool bOn) {
    if (m_bInitialising) {
        return;
    }
    m_bAuto = bOn ? 1 : 0;
    m_settings.SetInt(kSettingsGroup, "Auto", m_bAuto);
}

void CDownloaderDlg::ComChosen() {
    m_settings.SetInt(kSettingsGroup, "COM", m_pComList->currentIndex());
    ShowPortPath();
}

void CDownloaderDlg::ShowPortPath() {
    const auto nPort = static_cast<uint16_t>(m_pComList->currentIndex() + 1);
    const std::string path = ResolvePortPath(&m_settings, nPort);
    m_pPortPath->setText(Qs(path));
    m_pPortPath->setCursorPosition(0);
    const platform::SerialPortInfo* pPort = platform::FindPort(m_portWatch.Ports(), path);
    std::string tip = path;
    if (pPort == nullptr) {
        tip += "\n(not among the serial ports present)";
    } else if (!pPort->Description().empty()) {
        tip += "\n" + pPort->Description();
    }
    m_pPortPath->setToolTip(Qs(tip));
}

void CDownloaderDlg::RefreshComList() {
    const std::vector<platform::SerialPortInfo>& ports = m_portWatch.Ports();
    const std::vector<ComMapping> mappings = MapComNumbers(ports, &m_settings);
    const std::vector<const platform::SerialPortInfo*> unmapped = UnmappedPorts(ports, mappings);
    const QSignalBlocker block(m_pComList);
    const int nCurrent = m_pComList->currentIndex();
    auto setRow = [this](int nRow, const platform::SerialPortInfo* pPort) {
        m_pComModel->item(nRow, kComColumnPort)->setText(pPort ? Qs(pPort->strName) : QString());
        m_pComModel->item(nRow, kComColumnDescription)
            ->setText(pPort ? Qs(pPort->Description()) : QString());
        m_pComModel->item(nRow, 0)->setData(pPort ? Qs(pPort->strPath) : QVariant(), Qt::UserRole);
    };
    for (const ComMapping& m : mappings) {
        setRow(m.nPort - 1, m.pPresent);
    }
    m_pComModel->setRowCount(kMaxPortNumber + static_cast<int>(unmapped.size()));
    for (size_t i = 0; i < unmapped.size(); ++i) {
        const int nRow = kMaxPortNumber + static_cast<int>(i);
        for (int nColumn = 0; nColumn < 3; ++nColumn) {
            if (m_pComModel->item(nRow, nColumn) == nullptr) {
                m_pComModel->setItem(nRow, nColumn, new QStandardItem);
            }
        }
        m_pComModel->item(nRow, 0)->setText("(new)");
        setRow(nRow, unmapped[i]);
    }
    m_pComList->setCurrentIndex(std::clamp(nCurrent, 0, kMaxPortNumber - 1));
    m_pComList->setMaxVisibleItems(m_pComModel->rowCount());
    // The drop-down is as wide as its columns, whatever the closed list's width.
    auto* pView = static_cast<QTreeView*>(m_pComList->view());
    int nWidth = 0;
    for (int nColumn = 0; nColumn < 3; ++nColumn) {
        pView->resizeColumnToContents(nColumn);
        nWidth += pView->columnWidth(nColumn);
    }
    pView->setMinimumWidth(nWidth + pView->verticalScrollBar()->sizeHint().width() + 8);
    ShowPortPath();
}

void CDownloaderDlg::TakeListedPort(int nIndex) {
    const std::string path =
        m_pComModel->item(nIndex, 0)->data(Qt::UserRole).toString().toStdString();
    const uint16_t nPort = FreeComNumber(MapComNumbers(m_portWatch.Ports(), &m_settings));
    const QSignalBlocker block(m_pComList);
    if (path.empty() || nPort == 0) {
        m_pComList->setCurrentIndex(
            ClampIndex(m_settings.GetInt(kSettingsGroup, "COM", 0), kMaxPortNumber));
        m_prompts.MessageBox(
            "Every COM number opens a port that is present: choose a COM number and change its "
            "device with Device...",
            platform::MsgButtons::Ok, platform::MsgIcon::Warning);
        return;
    }
    m_settings.SetString("Ports", PortSettingsKey(nPort), path);
    m_pComList->setCurrentIndex(nPort - 1);
    RefreshComList();
    ComChosen();
}

void CDownloaderDlg::OnEditPortPath() {
    const auto nPort = static_cast<uint16_t>(m_pComList->currentIndex() + 1);
    CPortSettingsDlg dlg(nPort, ResolvePortPath(&m_settings, nPort), m_prompts, this,
                         m_portWatch.Scan());
    if (dlg.exec() != QDialog::Accepted) {
        return;
    }
    m_settings.SetString("Ports", PortSettingsKey(nPort), dlg.Path());
    RefreshComList();
}

// --- image rows --------------------------------------------------------------

int CDownloaderDlg::PathIndexOfRow(int nRow) const {
    if (nRow == 1) {
        return m_nTab == kTabTamarin2 ? 1 : 4;
    }
    return nRow;
}

void CDownloaderDlg::SyncControls() {
    NorDownloadControls& c = m_session.Download().m_controls;
    c.nTab = m_nTab;
    c.astrBinPath = m_astrBinPath;
    for (size_t r = 1; r <= 3; ++r) {
        c.abAddrEnabled[r] = m_rows[r].pAddrCheck->isChecked();
        c.astrAddr[r] = m_rows[r].pAddr->text().toStdString();
    }
    c.bPowerOn = m_pPowerOn->isChecked();
    c.bVerify = m_pVerify->isChecked();
}

void CDownloaderDlg::Fail(const char* pszMessage) {
    m_session.Engine().m_nState = IDLE;
    m_prompts.MessageBox(pszMessage, platform::MsgButtons::Ok, platform::MsgIcon::None);
}

bool CDownloaderDlg::ShowFileInfo(int nRow, const std::string& strPath) {
    int64_t nSize = 0;
    CFileObject file;
    if (!IsRegularFile(strPath, nSize) || !file.Open(strPath, CFileObject::Mode::Read)) {
        return false;
    }
    nSize = file.Length();
    file.Close();
    uint32_t crc = 0;
    const ImageRow& row = m_rows[static_cast<size_t>(nRow)];
    if (nSize > kCrcSizeLimit) {
        row.pSize->setText(Qs(FormatThousands(nSize)));
        row.pCrc->setText(" ");
        return true;
    }
    if (!Crc32OfFile(strPath, crc)) {
        return false;
    }
    row.pSize->setText(Qs(FormatThousands(nSize)));
    row.pCrc->setText(Qs(platform::Format("0x%X", crc)));
    return true;
}

int32_t CDownloaderDlg::FileChecks() {
    int32_t mask = 0;
    if (m_nTab == kTabTamarin2) {
        mask |= ShowFileInfo(1, m_astrBinPath[1]) ? 0 : kMissingBinPath1;
    } else {
        mask |= ShowFileInfo(1, m_astrBinPath[4]) ? 0 : kMissingBinPath4;
    }
    mask |= ShowFileInfo(2, m_astrBinPath[2]) ? 0 : kMissingBinPath2;
    mask |= ShowFileInfo(3, m_astrBinPath[3]) ? 0 : kMissingBinPath3;
    return mask;
}

void CDownloaderDlg::OnAddrCheck(int nRow, bool bOn) {
    ImageRow& row = m_rows[static_cast<size_t>(nRow)];
    if (bOn) {
        row.pAddr->setText(kDefaultAddr[static_cast<size_t>(nRow)]);
    }
    row.pAddr->setEnabled(bOn);
    SyncControls();
}

void CDownloaderDlg::OnChooseBin(int nRow) {
    const int nIndex = PathIndexOfRow(nRow);
    const bool bCla = nIndex == 2 || nIndex == 4;
    platform::FileDialogRequest request;
    request.strStartPath = m_astrBinPath[static_cast<size_t>(nIndex)];
    request.strDefaultExt = bCla ? ".cla" : ".bin";
    request.strFilter = bCla ? kImageFilterCla : kImageFilterBin;
    const std::string path = m_prompts.OpenFile(request);
    if (path.empty()) {
        return;
    }
    m_astrBinPath[static_cast<size_t>(nIndex)] = path;
    m_rows[static_cast<size_t>(nRow)].pPath->setText(Qs(path));
    m_settings.SetString(kSettingsGroup, platform::Format("BinPath%d", nIndex), path);
    SyncControls();
    int64_t nSize = 0;
    CFileObject file;
    if (!IsRegularFile(path, nSize) || !file.Open(path, CFileObject::Mode::Read)) {
        Fail("Fail to open bin file!");
        return;
    }
    file.Close();
    // All Download only becomes possible where the operation buttons are.
    if (FileChecks() == 0 && m_bOperationControlsOn) {
        m_pAllDownload->setEnabled(true);
    }
}

void CDownloaderDlg::OnCrc(int nRow) {
    const std::string& path = m_astrBinPath[static_cast<size_t>(PathIndexOfRow(nRow))];
    QLineEdit* pCrc = m_rows[static_cast<size_t>(nRow)].pCrc;
    pCrc->setEnabled(false);
    uint32_t crc = 0;
    int64_t nSize = 0;
    if (!IsRegularFile(path, nSize)) {
        Fail("Fail to open bin file!");
    } else if (nSize > kCrcSizeLimit) {
        m_prompts.MessageBox("The file is larger than the NOR flash (16 MB); no CRC is computed.",
                             platform::MsgButtons::Ok, platform::MsgIcon::Warning);
    } else if (!Crc32OfFile(path, crc)) {
        crc = 0;
        Fail("Fail to open bin file!");
    }
    pCrc->setText(Qs(platform::Format("0x%X", crc)));
    pCrc->setEnabled(true);
}

void CDownloaderDlg::OnDownload(int nRow) {
    SyncControls();
    CNorDownload& d = m_session.Download();
    if (m_nDownloadType == kDownloadTypeMfx) {
        // "MFX" writes the package alone; the row's image is not involved.
        m_session.Package().m_strMfxPath = m_strOgmPath;
        m_session.Mfx().StartMfxDownload();
        return;
    }
    // Opening anything but a regular file could block the UI thread.
    int64_t nSize = 0;
    if (!IsRegularFile(m_astrBinPath[static_cast<size_t>(PathIndexOfRow(nRow))], nSize)) {
        Fail("Fail to open bin file!");
        return;
    }
    if (m_nDownloadType != kDownloadTypeBin) {
        // "BIN + MFX": the row's image, then the package.
        m_session.Package().m_strMfxPath = m_strOgmPath;
        d.DownloadBinThenMfx(nRow);
        return;
    }
    if (nRow == 1) {
        d.DownloadBootLoader();
    } else if (nRow == 2) {
        d.DownloadMainBinary();
    } else {
        d.DownloadBpEngine();
    }
}

// --- MFX file (hidden unless "ShowNand") ---------------------------------------

void CDownloaderDlg::OnChooseMfx() {
    platform::FileDialogRequest request;
    request.strStartPath = m_strOgmPath;
    request.strDefaultExt = ".mfx";
    request.strFilter = kMfxFilter;
    const std::string path = m_prompts.OpenFile(request);
    if (path.empty()) {
        m_prompts.MessageBox("No file selected!", platform::MsgButtons::Ok,
                             platform::MsgIcon::None);
        m_strOgmPath.clear();
        m_strCfgPath.clear();
        m_pMfxPath->clear();
        m_pMfxSize->clear();
        m_settings.SetString(kSettingsGroup, "OgmPath", "");
        return;
    }
    m_strOgmPath = path;
    m_pMfxPath->setText(Qs(path));
    m_settings.SetString(kSettingsGroup, "OgmPath", path);
    m_strCfgPath = CfgPathFor(path);
    int64_t nSize = 0;
    CFileObject file;
    if (!IsRegularFile(path, nSize) || !file.Open(path, CFileObject::Mode::Read)) {
        m_session.Engine().m_nState = IDLE;
        m_prompts.MessageBox("Fail to open OGM file!", platform::MsgButtons::Ok,
                             platform::MsgIcon::None);
        return;
    }
    m_pMfxSize->setText(QString::number(file.Length()));
    file.Close();
}

void CDownloaderDlg::OnMfxCrc() {
    m_pMfxCrc->setEnabled(false);
    uint32_t crc = 0;
    int64_t nSize = 0;
    if (!IsRegularFile(m_strOgmPath, nSize) || !Crc32OfFile(m_strOgmPath, crc)) {
        crc = 0;
        Fail("Fail to open bin file!");
    }
    m_pMfxCrc->setText(Qs(platform::Format("0x%x", crc)));
    m_pMfxCrc->setEnabled(true);
}

void CDownloaderDlg::OnDownloadType(int nType) {
    m_nDownloadType = nType;
    const bool bBin = nType != kDownloadTypeMfx;
    const bool bMfx = nType != kDownloadTypeBin;
    for (size_t r = 1; r <= 3; ++r) {
        const bool bRowShown = r == 1 || m_nTab == kTabTamarin2;
        m_rows[r].pBin->setEnabled(bBin && bRowShown);
        m_rows[r].pPath->setEnabled(bBin && bRowShown);
    }
    m_pMfxPath->setEnabled(bMfx);
    Control(IDC_MFX_CHOOSE)->setEnabled(bMfx);
    m_pMfxCrcButton->setEnabled(bMfx);
}

// --- tabs --------------------------------------------------------------------

void CDownloaderDlg::OnTabChanged(int nTab) {
    if (m_bInitialising || nTab < 0 || nTab >= kTabCount) {
        return;
    }
    LayRowsOut(nTab);
    m_settings.SetInt(kSettingsGroup, "TabNum", nTab);
}

void CDownloaderDlg::LayRowsOut(int32_t nTab) {
    m_nTab = nTab;
    for (size_t r = 1; r <= 3; ++r) {
        ImageRow& row = m_rows[r];
        {
            const QSignalBlocker block(row.pAddrCheck);
            row.pAddrCheck->setChecked(false);
        }
        {
            const QSignalBlocker block(row.pAddr);
            row.pAddr->setText(kDefaultAddr[r]);
        }
        row.pAddr->setEnabled(false);
        row.pCrc->setText(" ");
        row.pSize->setText(" ");
    }
    const int32_t mask = FileChecks();
    const bool bTamarin2 = nTab == kTabTamarin2;
    m_rows[1].pGroup->setTitle(bTamarin2 ? "Boot Loader" : "Main Binary");
    const auto ShownPath = [&](int nIndex, int32_t bit) {
        return (mask & bit) != 0 ? QString(" ") : Qs(m_astrBinPath[static_cast<size_t>(nIndex)]);
    };
    if (bTamarin2) {
        m_rows[1].pPath->setText(ShownPath(1, kMissingBinPath1));
        m_rows[2].pPath->setText(ShownPath(2, kMissingBinPath2));
        m_rows[3].pPath->setText(ShownPath(3, kMissingBinPath3));
    } else {
        m_rows[1].pPath->setText(ShownPath(4, kMissingBinPath4));
    }
    for (size_t r = 2; r <= 3; ++r) {
        // Only disconnected can the tab change, so the rows shown again take
        // the first row's enabling rather than switching everything on.
        ImageRow& row = m_rows[r];
        row.pGroup->setVisible(bTamarin2);
        row.pAddrCheck->setEnabled(bTamarin2 && m_rows[1].pAddrCheck->isEnabled());
        row.pPath->setEnabled(bTamarin2 && m_rows[1].pPath->isEnabled());
        row.pBin->setEnabled(bTamarin2 && m_rows[1].pBin->isEnabled());
        row.pDownload->setEnabled(bTamarin2 && m_rows[1].pDownload->isEnabled());
        row.pCrcButton->setEnabled(bTamarin2 && m_rows[1].pCrcButton->isEnabled());
    }
    SyncControls();
}

}  // namespace oriel
