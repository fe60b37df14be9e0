#pragma once
// What the writer thread does, on whatever thread calls it (the recorder's
// thread; a history query, which first sends what waits in the spool):
// hash a record's images, write it or spool it, and send spooled records to
// their databases oldest first, each database with its own retry time.

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/history/history_recorder.h"
#include "platform/history/history_spool.h"
#include "platform/history/history_store.h"
#include "platform/history/image_hash.h"

namespace history {

class CHistoryWriter {
  public:
    using Clock = std::chrono::steady_clock;

    explicit CHistoryWriter(const RecorderOptions& options);
    ~CHistoryWriter();

    // A finished job: hashed, then written, or spooled when its database
    // cannot take it (or older records for it still wait: order is kept).
    void Deliver(JobRecord record);
    // Sends spooled records of every database whose retry time has come
    // (bForce: of every database, now).
    void Replay(bool bForce);
    // When Replay has something to do next; Clock::time_point::max() for never.
    Clock::time_point NextDue() const;
    // The end: records that could be kept nowhere are counted lost and said.
    void Finish();
    const RecorderCounters& Counters() const { return m_counters; }

  private:
    struct Destination {
        HistoryTarget target;
        CHistoryStore store;
        bool bDown = false;
        std::chrono::milliseconds backoff{0};
        Clock::time_point nextTry{};
    };
    enum class Attempt { Done, Duplicate, Unreachable, Refused };

    Destination* DestinationFor(const std::string& strUrl);
    Attempt TryInsert(Destination& d, const JobRecord& record, std::string& error);
    void MarkDown(Destination& d, const std::string& error);
    void MarkUp(Destination& d, int64_t nSent);
    bool SpoolRecord(const JobRecord& record, const std::string& strUrl);
    bool SpoolExists() const;
    bool OpenSpool();
    void ReplayOne(Destination& d);
    void Notice(const std::string& text) const;

    RecorderOptions m_options;
    CImageHasher m_hasher;
    CHistorySpool m_spool;
    bool m_bSpoolReported = false;
    std::map<std::string, std::unique_ptr<Destination>> m_destinations;
    // Records neither written nor spooled (the spool itself failed): kept
    // in memory and tried again; lost only if the program ends first.
    std::vector<std::pair<std::string, JobRecord>> m_held;
    RecorderCounters m_counters;
};

}  // namespace history
