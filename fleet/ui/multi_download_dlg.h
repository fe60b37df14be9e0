#pragma once
// The fleet window: up to eight slots with their colour label, text progress
// bar, reset and "See Log" buttons, the shared log, the detection counter,
// the start controls, and the image selection in an "Images" panel. It owns
// the slots the workers borrow and shows what the board says.

#include <QDialog>
#include <array>
#include <functional>
#include <memory>

#include "fleet/images/image_selection.h"
#include "fleet/transport/device_folder_watch.h"
#include "fleet/transport/slot_launch.h"
#include "fleet/ui/detection.h"
#include "fleet/ui/slot_board.h"
#include "fleet/ui/window_history.h"
#include "platform/qt_message_target.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSocketNotifier;

namespace platform {
class IPrompts;
class ISettingsStore;
}  // namespace platform

namespace fleet {

class CColorLabel;
class CTextProgressCtrl;

// Deployment settings: group "Detection" of "ORIEL Tools"/"fleet_downloader".
DetectionConfig ReadDetectionConfig(const platform::ISettingsStore& settings);

class CMultiDownloadDlg : public QDialog {
  public:
    // The settings are read here; the slot-log folder chosen in the window is
    // stored back.
    CMultiDownloadDlg(platform::IPrompts& prompts, platform::ISettingsStore& settings,
                      QWidget* parent = nullptr);
    ~CMultiDownloadDlg() override;

    // The worker procedures (container mode, files mode).
    void SetWorkers(SlotWorker container, SlotWorker files);
    // Shorter pauses between worker starts (tests).
    void SetStartInterval(std::chrono::milliseconds interval) { m_startInterval = interval; }
    // The program file whose container the workers read (default: this
    // program's own; tests name a packed one).
    void SetProgramPath(std::string path) { m_strProgramPath = std::move(path); }

    void Detect();
    void StartDownloading();
    // A press of "Start downloading" posted to the loop, as detection makes
    // it; presses posted before it runs make one start.
    void PressStart();
    void ResetSlot(int nSlot);
    void ResetAll();
    void ShowSlotLog(int nSlot);
    void SetMultiDownload(bool bOn);
    void SetStartImmediately(bool bOn);
    // The flash history: where slot jobs are recorded, what "History..." shows.
    void SetHistory(history::CHistoryRecorder* pRecorder, const history::HistoryConfig& config);
    CWindowHistory& History() { return m_history; }
    // A line of the history's own in the log.
    void HistoryNotice(const std::string& text) { Log(text + "\r\n"); }

    // False while a worker runs (one that did not end when asked to stop:
    // the program then ends without destroying what it borrows).
    bool AllWorkersEnded() const;

    CSlotBoard& Board() { return m_board; }
    CFleetSlots& Slots() { return m_slots; }
    CDetection& Detection() { return *m_pDetection; }
    CImageSelection& Selection() { return m_selection; }
    platform::IMessageSink& MessageSink() { return m_target; }
    QWidget* Control(int nId) const;
    CTextProgressCtrl* Progress(int nSlot) const {
        return m_apProgress[static_cast<size_t>(nSlot)];
    }
    CColorLabel* SlotLabel(int nSlot) const { return m_apLabel[static_cast<size_t>(nSlot)]; }
    QString LogText() const;
    // The last slot log window shown (tests look at it after it closed).
    std::function<void(int nSlot, const std::string& log)> m_fnShowLog;

  protected:
    void closeEvent(QCloseEvent* e) override;
    void reject() override;

  private:
    // Options > Save slot logs: ticked asks for the folder, unticked stops.
    void ChooseLogFolder(bool bOn);
    // Asks while handsets are being served; on yes stops the workers and
    // lets go of every port.
    bool QuitConfirmed();
    void Build();
    void OnMessage(const platform::WindowMessage& msg);
    // What the controls say for a start of the workers.
    SlotStartRequest StartRequest();
    void OnDeviceFolder();
    // A probe's handshake is over: detection takes the results.
    void OnProbesDone();
    void Refresh();
    void RefreshSlot(int nSlot);
    // The counters and what the end of a batch enables.
    void RefreshBatch();
    void EnableOptions(bool bOn);
    // The platform list's choice: the profile, the options and the image
    // buttons' labels follow it.
    void ApplyPlatform(int nComboSelection);
    void InitSlotsUi();
    void Log(const std::string& text);
    void ShowLog();
    // With setting Logs/Dir: the slot's log to a file when the slot ends.
    void SaveSlotLog(int nSlot);

    platform::IPrompts& m_prompts;
    platform::ISettingsStore& m_settings;
    CSlotBoard m_board;
    CFleetSlots m_slots;
    CImageSelection m_selection;
    std::unique_ptr<CDetection> m_pDetection;
    CDeviceFolderWatch m_watch;
    QSocketNotifier* m_pNotifier = nullptr;
    platform::CQtMessageTarget m_target;
    SlotWorker m_containerWorker = nullptr;
    SlotWorker m_filesWorker = nullptr;
    std::chrono::milliseconds m_startInterval = kWorkerStartInterval;
    bool m_bStarting = false;        // inside StartDownloading's start of the workers
    bool m_bProbesDeferred = false;  // a probe's result came while starting
    bool m_bStartQueued = false;     // detection's press of "Start downloading" is on its way
    std::string m_strProgramPath = ProgramFilePath();

    std::array<CColorLabel*, kBoardSlots> m_apLabel{};
    std::array<CTextProgressCtrl*, kBoardSlots> m_apProgress{};
    std::array<QPushButton*, kBoardSlots> m_apReset{};
    std::array<QPushButton*, kBoardSlots> m_apSeeLog{};
    QPlainTextEdit* m_pLog = nullptr;
    QLabel* m_pCounter = nullptr;
    QCheckBox* m_pStartImmediately = nullptr;
    QCheckBox* m_pMulti = nullptr;
    QAction* m_pSaveLogs = nullptr;
    QAction* m_pHistoryAction = nullptr;
    CWindowHistory m_history;
    QGroupBox* m_pImages = nullptr;
    QGroupBox* m_pMultiBox = nullptr;  // "Multi Progress": slots 2-8
    QComboBox* m_pPlatform = nullptr;
    CColorLabel* m_pPlatformLabel = nullptr;
    std::map<int, QWidget*> m_controls;
    size_t m_nLogShown = 0;
    std::string m_strLogDir;
    bool m_bMultiShown = false;
    int m_nOneSlotHeight = 0;
    int m_nOneSlotMinimum = 0;
};

}  // namespace fleet
