#pragma once
// The main dialog of oriel_downloader: port, speed and mode, START and Stop,
// the image rows of the two handset variants, the NOR operations, progress and
// log. It is the session's console and stays thin: buttons call the session,
// the session reports through IConsoleView, message boxes go through IPrompts.

#include <QDialog>
#include <QPointer>
#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "oriel/engine/console_view.h"
#include "oriel/ui/control_ids.h"
#include "oriel/ui/downloader_session.h"
#include "platform/history/history_config.h"
#include "platform/qt_message_target.h"
#include "platform/qt_port_watch.h"
#include "platform/qt_timer_service.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStandardItemModel;
class QTabBar;
class QTextEdit;
class QWidget;

namespace platform {
class CHistoryView;
class IPrompts;
class ISettingsStore;
}  // namespace platform

namespace oriel {

class CSerialPort;

// Settings of the console: QSettings organisation and application, and the group.
inline constexpr char kSettingsOrganisation[] = "ORIEL Tools";
inline constexpr char kSettingsApplication[] = "oriel_downloader";
inline constexpr char kSettingsGroup[] = "Setting";

class CDownloaderDlg : public QDialog, public IConsoleView {
  public:
    // The port, settings and prompts outlive the dialog; the dialog wires the
    // port to its own event loop, settings and prompts.
    CDownloaderDlg(CSerialPort& port, platform::ISettingsStore& settings,
                   platform::IPrompts& prompts, QWidget* parent = nullptr);
    ~CDownloaderDlg() override;
    CDownloaderDlg(const CDownloaderDlg&) = delete;
    CDownloaderDlg& operator=(const CDownloaderDlg&) = delete;

    // --- IConsoleView ---
    void AppendLog(const std::string& text) override;
    void ReplaceLog(const std::string& text) override;
    void SetProgressRange(int32_t nMax) override;
    void SetProgressPos(int32_t nPos) override;
    void SetFlashId(const std::string& text) override;
    void DisableControls() override;
    void EnableOperationControls() override;
    void ConnectionStarted() override;
    void ConnectionStopped() override;

    // The flash history: where the operations are recorded, and what
    // "History..." shows. Without it nothing is recorded and the button is off.
    void SetHistory(history::CHistoryRecorder* pRecorder, const history::HistoryConfig& config);
    // "History...": the history window (one; raised when already open).
    void ShowHistory();
    platform::CHistoryView* HistoryView() const;

    // Refreshes the size and CRC boxes of the rows whose file opens and
    // returns the mask (kMissingBinPath1..4) of those that do not.
    int32_t FileChecks();

    QWidget* Control(int nId) const;
    template <class T>
    T* ControlAs(int nId) const {
        return qobject_cast<T*>(Control(nId));
    }
    CDownloaderSession& Session() { return m_session; }
    // The log as plain text with '\n' line ends.
    std::string LogText() const;
    int32_t Tab() const { return m_nTab; }
    int32_t DownloadType() const { return m_nDownloadType; }
    const std::string& DescriptionPath() const { return m_strCfgPath; }
    // What START hands to the handshake.
    HandshakeSettings Choices() const;

    // Where the serial ports present are looked for (tests); lists at once.
    void SetPortScan(const platform::SerialPortScan& scan);
    // The COM list's rows: "COM1".."COM20", then the ports present that no
    // COM number opens yet, as "(new)"; the path each row stands for.
    static constexpr int kComColumnPort = 1;
    static constexpr int kComColumnDescription = 2;
    QStandardItemModel* ComModel() const { return m_pComModel; }

  private:
    struct ImageRow {
        QGroupBox* pGroup = nullptr;
        QCheckBox* pAddrCheck = nullptr;
        QLineEdit* pAddr = nullptr;
        QLineEdit* pPath = nullptr;
        QPushButton* pBin = nullptr;
        QPushButton* pDownload = nullptr;
        QPushButton* pCrcButton = nullptr;
        QLineEdit* pCrc = nullptr;
        QLineEdit* pSize = nullptr;
    };

    template <class T>
    T* Add(int nId, T* pWidget);
    void BuildUi();
    QWidget* BuildConnectionArea();
    QWidget* BuildFilesArea();
    QGroupBox* BuildImageRow(int nRow, const char* pszTitle);
    QWidget* BuildMfxRow();
    QWidget* BuildOperationsArea();
    void ConnectActions();
    void Initialise();

    // Actions of the controls.
    void OnStart();
    void OnStop();
    void OnListChanged(int nId);
    void OnFastToggled(bool bOn);
    void OnAutoToggled(bool bOn);
    void OnAddrCheck(int nRow, bool bOn);
    void OnChooseBin(int nRow);
    void OnChooseMfx();
    void OnCrc(int nRow);
    void OnMfxCrc();
    void OnExplorer();
    void OnDownload(int nRow);
    void OnDownloadType(int nType);
    void OnTabChanged(int nTab);
    void OnEditPortPath();

    void ApplySituation(Situation situation);
    // Tab change without storing "TabNum": address boxes, size and CRC boxes,
    // first row's title, paths and the rows the tab shows.
    void LayRowsOut(int32_t nTab);
    // The download reads the controls through its NorDownloadControls.
    void SyncControls();
    // Index of the path setting behind a row: the first row is "BinPath1" or "BinPath4".
    int PathIndexOfRow(int nRow) const;
    bool ShowFileInfo(int nRow, const std::string& strPath);
    void ShowPortPath();
    // The COM list's port columns and "(new)" rows from the ports present.
    void RefreshComList();
    // A "(new)" row was chosen: its port goes to a free COM number, which
    // becomes the choice.
    void TakeListedPort(int nIndex);
    void ComChosen();
    void Fail(const char* pszMessage);

    CSerialPort& m_port;
    platform::ISettingsStore& m_settings;
    platform::CQtMessageTarget m_target;
    platform::CQtTimerService m_timers;
    CDownloaderSession m_session;
    // The session's prompts: receive wake-ups wait while one is open.
    platform::IPrompts& m_prompts;
    // The program's own, for windows beside the session's (History).
    platform::IPrompts& m_windowPrompts;
    history::HistoryConfig m_history;
    QPointer<platform::CHistoryView> m_pHistoryView;
    platform::CQtPortWatch m_portWatch;

    std::map<int, QWidget*> m_controls;
    std::array<ImageRow, 4> m_rows{};  // [1]..[3]
    QTabBar* m_pTab = nullptr;
    QComboBox* m_pComList = nullptr;
    QStandardItemModel* m_pComModel = nullptr;
    QComboBox* m_pSpeedList = nullptr;
    QComboBox* m_pModeList = nullptr;
    QLineEdit* m_pPortPath = nullptr;
    QLineEdit* m_pFlashId = nullptr;
    QPushButton* m_pFast = nullptr;
    QPushButton* m_pAuto = nullptr;
    QPushButton* m_pPowerOn = nullptr;
    QPushButton* m_pVerify = nullptr;
    QPushButton* m_pAllDownload = nullptr;
    QWidget* m_pMfxRow = nullptr;
    QLineEdit* m_pMfxPath = nullptr;
    QLineEdit* m_pMfxSize = nullptr;
    QLineEdit* m_pMfxCrc = nullptr;
    QPushButton* m_pMfxCrcButton = nullptr;
    QProgressBar* m_pProgress = nullptr;
    QTextEdit* m_pLog = nullptr;

    // Dialog fields bound to the controls.
    int32_t m_nTab = kTabAlder2;
    int32_t m_nDownloadType = 0;  // 0 "BIN", 1 "MFX", 2 "BIN + MFX"
    int32_t m_bFast = 1;
    int32_t m_bAuto = 0;
    std::array<std::string, 5> m_astrBinPath{};  // [1]..[4] = "BinPath1".."BinPath4"
    std::string m_strOgmPath;
    std::string m_strCfgPath;
    bool m_bShowNand = false;
    // True from FinishOperation until the next operation start or Stop.
    bool m_bOperationControlsOn = false;
    bool m_bInitialising = true;
};

}  // namespace oriel
