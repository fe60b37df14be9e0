#include "platform/history/history_writer.h"

#include <sys/stat.h>

#include "platform/format.h"

namespace history {

namespace {

constexpr int kReplayBatch = 64;

}  // namespace

CHistoryWriter::CHistoryWriter(const RecorderOptions& options) : m_options(options) {}

CHistoryWriter::~CHistoryWriter() = default;

void CHistoryWriter::Notice(const std::string& text) const {
    if (m_options.fnNotice) {
        m_options.fnNotice(text);
    }
}

bool CHistoryWriter::SpoolExists() const {
    // Made when a record first has to wait, not before.
    struct stat st {};
    return m_spool.IsOpen() || stat(m_options.strSpoolPath.c_str(), &st) == 0;
}

bool CHistoryWriter::OpenSpool() {
    if (m_spool.IsOpen()) {
        return true;
    }
    std::string error;
    if (m_spool.Open(m_options.strSpoolPath, error)) {
        m_bSpoolReported = false;
        return true;
    }
    if (!m_bSpoolReported) {
        m_bSpoolReported = true;
        Notice("history: the spool " + m_options.strSpoolPath + " cannot be used (" + error +
               "); records are held in memory until it can");
    }
    return false;
}

CHistoryWriter::Destination* CHistoryWriter::DestinationFor(const std::string& strUrl) {
    auto it = m_destinations.find(strUrl);
    if (it != m_destinations.end()) {
        return it->second.get();
    }
    auto d = std::make_unique<Destination>();
    if (strUrl == m_options.target.strUrl) {
        d->target = m_options.target;
    } else {
        std::string error;
        if (!ParseHistoryTarget(strUrl, d->target, error) || d->target.IsOff()) {
            return nullptr;
        }
    }
    return m_destinations.emplace(strUrl, std::move(d)).first->second.get();
}

CHistoryWriter::Attempt CHistoryWriter::TryInsert(Destination& d, const JobRecord& record,
                                                  std::string& error) {
    if (!d.store.IsOpen() && !d.store.Open(d.target, error)) {
        return Attempt::Unreachable;
    }
    switch (d.store.Insert(record, error)) {
        case InsertResult::Inserted:
            return Attempt::Done;
        case InsertResult::Duplicate:
            return Attempt::Duplicate;
        case InsertResult::Failed:
            break;
    }
    // The connection, or this record? A server that still answers refused it.
    if (d.store.Connection().Alive()) {
        return Attempt::Refused;
    }
    d.store.Close();
    return Attempt::Unreachable;
}

void CHistoryWriter::MarkDown(Destination& d, const std::string& error) {
    if (!d.bDown) {
        d.bDown = true;
        d.backoff = m_options.firstRetry;
        Notice("history: cannot write to " + d.target.Display() + " (" + error +
               "); records wait in " + m_options.strSpoolPath + " and are sent when it is back");
    } else {
        d.backoff = std::min(d.backoff * 2, m_options.maxRetry);
    }
    d.nextTry = Clock::now() + d.backoff;
}

void CHistoryWriter::MarkUp(Destination& d, int64_t nSent) {
    if (d.bDown) {
        d.bDown = false;
        Notice(platform::Format("history: %s is back; %lld waiting record(s) sent",
                                d.target.Display().c_str(), static_cast<long long>(nSent)));
    }
}

bool CHistoryWriter::SpoolRecord(const JobRecord& record, const std::string& strUrl) {
    std::string error;
    if (OpenSpool() && m_spool.Append(strUrl, record, error)) {
        ++m_counters.nSpooled;
        return true;
    }
    if (m_spool.IsOpen()) {
        m_spool.Close();
        if (!m_bSpoolReported) {
            m_bSpoolReported = true;
            Notice("history: cannot add to the spool " + m_options.strSpoolPath + " (" + error +
                   "); records are held in memory until it can");
        }
    }
    m_held.emplace_back(strUrl, record);
    return false;
}

void CHistoryWriter::Deliver(JobRecord record) {
    for (ImageRef& image : record.images) {
        if (!image.bHashed) {
            m_hasher.Hash(image);
        }
    }
    const std::string& url = m_options.target.strUrl;
    Destination* d = DestinationFor(url);
    if (d == nullptr) {
        return;
    }
    // Older records for this database still wait: this one goes behind them.
    std::string error;
    const bool bQueued = SpoolExists() && OpenSpool() && m_spool.Count(url, error) > 0;
    if (bQueued || d->bDown || !m_held.empty()) {
        SpoolRecord(record, url);
        if (!d->bDown) {
            ReplayOne(*d);
        }
        return;
    }
    switch (TryInsert(*d, record, error)) {
        case Attempt::Done:
            ++m_counters.nWritten;
            return;
        case Attempt::Duplicate:
            ++m_counters.nDuplicates;
            return;
        case Attempt::Unreachable:
            MarkDown(*d, error);
            SpoolRecord(record, url);
            return;
        case Attempt::Refused: {
            // Kept aside, not lost, and it holds up nothing.
            const std::string why = error;
            if (OpenSpool() && m_spool.SetAside(url, record, why, error)) {
                ++m_counters.nRejected;
            } else {
                m_held.emplace_back(url, record);
            }
            Notice("history: " + d->target.Display() + " refused the record of job " +
                   record.strUid + " (" + why + "); it is kept in " + m_options.strSpoolPath);
            return;
        }
    }
}

void CHistoryWriter::ReplayOne(Destination& d) {
    const std::string& url = d.target.strUrl;
    int64_t nSent = 0;
    for (;;) {
        std::vector<SpoolEntry> entries;
        std::string error;
        if (!OpenSpool() || !m_spool.Pending(url, kReplayBatch, entries, error)) {
            return;
        }
        if (entries.empty()) {
            MarkUp(d, nSent);
            return;
        }
        for (const SpoolEntry& e : entries) {
            JobRecord record;
            Attempt attempt = Attempt::Refused;
            if (RecordFromJson(e.strJson, record, error)) {
                attempt = TryInsert(d, record, error);
            }
            if (attempt == Attempt::Unreachable) {
                MarkDown(d, error);
                return;
            }
            std::string spoolError;
            if (attempt == Attempt::Refused) {
                if (!m_spool.Reject(e, error, spoolError)) {
                    return;
                }
                ++m_counters.nRejected;
                Notice("history: " + d.target.Display() + " refused the record of job " + e.strUid +
                       " (" + error + "); it is kept in " + m_options.strSpoolPath);
                continue;
            }
            // Committed (or there already): only now may it leave the spool.
            ++(attempt == Attempt::Done ? m_counters.nReplayed : m_counters.nDuplicates);
            ++nSent;
            if (!m_spool.Remove(e.nSeq, spoolError)) {
                return;  // sent again later, and then recognised
            }
        }
    }
}

void CHistoryWriter::Replay(bool bForce) {
    // Records the spool could not take come first: they are the oldest.
    if (!m_held.empty() && OpenSpool()) {
        std::vector<std::pair<std::string, JobRecord>> held;
        held.swap(m_held);
        for (auto& [url, record] : held) {
            SpoolRecord(record, url);
        }
    }
    std::vector<std::string> urls;
    std::string error;
    if (!SpoolExists() || !OpenSpool() || !m_spool.Destinations(urls, error)) {
        return;
    }
    const Clock::time_point now = Clock::now();
    for (const std::string& url : urls) {
        Destination* d = DestinationFor(url);
        if (d == nullptr || (!bForce && d->bDown && now < d->nextTry)) {
            continue;
        }
        ReplayOne(*d);
    }
}

CHistoryWriter::Clock::time_point CHistoryWriter::NextDue() const {
    Clock::time_point next = Clock::time_point::max();
    if (!m_held.empty()) {
        next = Clock::now() + m_options.firstRetry;
    }
    for (const auto& [url, d] : m_destinations) {
        if (d->bDown && d->nextTry < next) {
            next = d->nextTry;
        }
    }
    return next;
}

void CHistoryWriter::Finish() {
    if (!m_held.empty()) {
        m_counters.nLost += static_cast<int64_t>(m_held.size());
        Notice(
            platform::Format("history: %zu record(s) could be neither written nor spooled and "
                             "are lost",
                             m_held.size()));
        m_held.clear();
    }
    for (auto& [url, d] : m_destinations) {
        d->store.Close();
    }
    m_spool.Close();
}

}  // namespace history
