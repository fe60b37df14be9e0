#pragma once
// The flash history of one connection: a record per operation (download,
// All Download, erase, dump, MFX download, format, verify) and per explorer
// transfer, from its start to its end, with what it wrote, how it ended,
// the bytes it moved and its log. It stands between the engine and the
// console (it sees the log as the operator does) and listens to the engine
// and the explorer; the record goes to the history's writer thread, so a
// job never waits for it. No widget code.

#include <cstdint>
#include <string>
#include <vector>

#include "oriel/engine/console_view.h"
#include "oriel/engine/operation_observer.h"
#include "oriel/mfx/mfx_explorer.h"
#include "platform/history/job_record.h"

namespace history {
class CHistoryRecorder;
}

namespace oriel {

class CDownloaderSession;

class COperationJournal : public IConsoleView,
                          public IOperationObserver,
                          public IExplorerTransferObserver {
  public:
    explicit COperationJournal(IConsoleView& console) : m_console(console) {}

    void Attach(CDownloaderSession& session) { m_pSession = &session; }
    // Where records go (nullptr: nowhere), the station and the front end.
    void SetRecorder(history::CHistoryRecorder* pRecorder, std::string strStation,
                     std::string strFrontEnd);
    // How the job under way is ending when it is not its own doing (Stop,
    // the port went away).
    void SetEndReason(const std::string& strReason);
    // After each receive wake-up: an operation that went idle without
    // FinishOperation has failed.
    void AfterWakeUp();

    // IConsoleView: passed on, and read.
    void AppendLog(const std::string& text) override;
    void ReplaceLog(const std::string& text) override;
    void SetProgressRange(int32_t nMax) override;
    void SetProgressPos(int32_t nPos) override;
    void SetFlashId(const std::string& text) override;
    void DisableControls() override { m_console.DisableControls(); }
    void EnableOperationControls() override { m_console.EnableOperationControls(); }
    void ConnectionStarted() override;
    void ConnectionStopped() override { m_console.ConnectionStopped(); }

    // IOperationObserver
    void OperationStarted(int32_t nOperation) override;
    void OperationMessage(const std::string& text) override;
    void OperationFinished() override;

    // IExplorerTransferObserver
    void TransferBegun(const std::string& strHandsetPath, const std::string& strOutPath) override;
    void ExplorerLog(const std::string& text, bool bReplace) override;
    void TransferEnded(bool bCompleted, const std::string& strWhy, int64_t nBytes,
                       const std::string& strState, const std::string& strKeptPath) override;

  private:
    // A log as its window shows it, since the last job ended.
    struct Mirror {
        std::string text;
        void Append(const std::string& s);
        void Replace(const std::string& s) { text = s; }
    };
    void Open(const std::string& strOperation);
    void Close(bool bCompleted, const std::string& strCode, const std::string& strText);
    void CloseOperation();
    std::string OperationName(int32_t nOperation) const;
    void AddImagesOf(int32_t nOperation);
    void FillPort(history::JobRecord& record);
    // Bytes of the progress segment under way (bWhole: it was done whole).
    int64_t SegmentBytes(bool bWhole) const;

    IConsoleView& m_console;
    CDownloaderSession* m_pSession = nullptr;
    history::CHistoryRecorder* m_pRecorder = nullptr;
    std::string m_strStation;
    std::string m_strFrontEnd;

    Mirror m_log;          // the console's
    Mirror m_explorerLog;  // the explorer's
    std::string m_strFlashId;
    // The port of this connection, looked up once.
    std::string m_strPortPath;
    std::string m_strDevice;
    std::string m_strUsbSerial;

    bool m_bOpen = false;
    bool m_bExplorerJob = false;
    int32_t m_nOperation = 0;
    bool m_bCompleted = false;
    std::string m_strLastMessage;
    std::string m_strEndReason;
    history::JobRecord m_record;
    int64_t m_nBytesDone = 0;
    int64_t m_nProgressMax = 0;
    int64_t m_nProgressPos = 0;
};

}  // namespace oriel
