#pragma once
// The history's writer thread. A program hands it a finished job and goes
// on at once: the images are hashed, the record written, and when the
// database cannot be reached or written, the record goes to the local spool
// instead and is sent from there, oldest first, once the database answers
// again (retried after 2 s, 4 s ... at most every minute, never in a tight
// loop). On start it also sends what earlier runs of either program left in
// the spool. Each outage is reported once, with the password left out.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/history/history_target.h"
#include "platform/history/job_record.h"

namespace history {

class CHistoryWriter;

struct RecorderOptions {
    HistoryTarget target;
    std::string strSpoolPath;
    // Called on the writer thread with a sentence for the operator.
    std::function<void(const std::string&)> fnNotice;
    std::chrono::milliseconds firstRetry{2000};
    std::chrono::milliseconds maxRetry{60000};
};

struct RecorderCounters {
    int64_t nWritten = 0;     // straight into the database
    int64_t nSpooled = 0;     // put into the spool
    int64_t nReplayed = 0;    // sent from the spool
    int64_t nDuplicates = 0;  // already there (sent before, the spool not yet told)
    int64_t nRejected = 0;    // refused by a working database: set aside in the spool
    int64_t nLost = 0;        // neither written nor spooled by the time the program ended
};

class CHistoryRecorder {
  public:
    explicit CHistoryRecorder(RecorderOptions options);
    // Close().
    ~CHistoryRecorder();
    CHistoryRecorder(const CHistoryRecorder&) = delete;
    CHistoryRecorder& operator=(const CHistoryRecorder&) = delete;

    // Any thread; never waits for a disk or a network.
    void Submit(JobRecord record);
    // Writes or spools what was handed in, tries once more what waits in the
    // spool, and ends the thread.
    void Close();
    // Waits until every record handed in so far is written, spooled or set
    // aside; false on timeout. (Tests, benchmarks.)
    bool Flush(std::chrono::milliseconds timeout);
    // The next attempt on the spooled records now, not after its wait.
    void RetryNow();
    RecorderCounters Counters() const;
    const HistoryTarget& Target() const { return m_options.target; }

  private:
    void Run();

    RecorderOptions m_options;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<JobRecord> m_queue;
    bool m_bStop = false;
    bool m_bRetryNow = false;
    int m_nBusy = 0;
    RecorderCounters m_counters;
    std::unique_ptr<CHistoryWriter> m_pWriter;  // the thread's own
    std::thread m_thread;

    friend class CHistoryWriter;
};

}  // namespace history
