#pragma once
// The "History..." window of both programs: the jobs recorded, newest first,
// filtered as the command line's history filters, in a table that sorts by
// any column and narrows to a typed text; the selected job's log below it;
// the rows shown exported to CSV. The database is read on a thread of the
// window's own, so a slow or unreachable database never stops the window.

#include <QDialog>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/history/history_config.h"
#include "platform/history/history_store.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;

namespace platform {

class IPrompts;

// A window program's recorder: the configuration from its settings (one
// that names no database is said, and the local file used), and what the
// recorder has to say shown by fnShow on pWindow's thread while pWindow
// lives. Null when the history is off.
std::unique_ptr<history::CHistoryRecorder> StartWindowRecorder(
    const history::HistoryProgram& program, QObject* pWindow,
    std::function<void(const std::string&)> fnShow, history::HistoryConfig& config);

class CHistoryView : public QDialog {
  public:
    // At most this many jobs, the newest, are shown at once.
    static constexpr int kRowLimit = 10000;

    CHistoryView(const history::HistoryProgram& program, history::HistoryTarget target,
                 IPrompts& prompts, QWidget* parent = nullptr);
    // Waits for a read under way.
    ~CHistoryView() override;

    // Reads the jobs the filter fields name (in the background).
    void Search();
    // The rows shown, in their order, to a CSV file the operator names.
    void ExportCsv();

    // For tests: the table as shown, the quick filter, the log, and whether
    // a read is under way.
    QSortFilterProxyModel* Rows() const { return m_pProxy; }
    QTableView* Table() const { return m_pTable; }
    QLineEdit* QuickFilter() const { return m_pQuick; }
    QLineEdit* Field(const char* pszName) const;
    QCheckBox* FailedOnly() const { return m_pFailed; }
    QPlainTextEdit* LogView() const { return m_pLog; }
    QLabel* Status() const { return m_pStatus; }
    bool Busy() const { return m_nPending > 0; }

  private:
    void Build();
    void Post(std::function<void(history::CHistoryStore&)> work);
    void WorkerLoop();
    void ShowRows(std::vector<history::JobRow> rows, const std::string& error);
    void ShowSelectedLog();

    const history::HistoryProgram& m_program;
    history::HistoryTarget m_target;
    IPrompts& m_prompts;

    QStandardItemModel* m_pModel = nullptr;
    QSortFilterProxyModel* m_pProxy = nullptr;
    QTableView* m_pTable = nullptr;
    QLineEdit* m_pSince = nullptr;
    QLineEdit* m_pUntil = nullptr;
    QLineEdit* m_pDevice = nullptr;
    QLineEdit* m_pStation = nullptr;
    QLineEdit* m_pImage = nullptr;
    QLineEdit* m_pQuick = nullptr;
    QCheckBox* m_pFailed = nullptr;
    QCheckBox* m_pAllPrograms = nullptr;
    QPlainTextEdit* m_pLog = nullptr;
    QLabel* m_pStatus = nullptr;

    std::vector<history::JobRow> m_rows;
    unsigned m_nGeneration = 0;  // the newest search; older answers are dropped
    int m_nPending = 0;          // UI thread only

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void(history::CHistoryStore&)>> m_work;
    bool m_bStop = false;
    std::thread m_worker;
};

}  // namespace platform
