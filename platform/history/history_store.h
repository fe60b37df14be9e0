#pragma once
// The history database as the programs use it: recording a job (once: a
// job's id is unique, so a record sent again is recognised and skipped),
// the filtered listing, pass rates per slot, port or station, and a job's
// log. Works the same on SQLite and PostgreSQL; runs on the calling thread.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/history/db_connection.h"
#include "platform/history/job_record.h"

namespace history {

struct HistoryFilter {
    std::string strProgram;  // empty: every program
    int64_t nSinceMs = -1;   // started at or after; -1: no bound
    int64_t nUntilMs = -1;   // started before; -1: no bound
    std::string strDevice;   // part of the device name, USB serial or port (any case)
    std::string strStation;  // the station, exactly
    bool bFailedOnly = false;
    std::string strImageSha;  // an image's SHA-256, or its first 8 or more hex digits
    int nLimit = 0;           // newest first; 0: all
};

struct JobRow {
    int64_t nId = 0;
    JobRecord record;  // without the log
};

enum class RateGroup { Slot, Port, Station };

struct RateRow {
    std::string strKey;  // "3" (slot), a port path, a station
    int64_t nJobs = 0;
    int64_t nFailed = 0;
};

enum class InsertResult { Inserted, Duplicate, Failed };

class CHistoryStore {
  public:
    CHistoryStore() : m_db("store") {}

    // Connects and brings the schema up to date.
    bool Open(const HistoryTarget& target, std::string& error);
    void Close() { m_db.Close(); }
    bool IsOpen() const { return m_db.IsOpen(); }
    CDbConnection& Connection() { return m_db; }

    // The whole record in one transaction; a job already there (the same
    // id) is left as it is.
    InsertResult Insert(const JobRecord& record, std::string& error);
    bool Query(const HistoryFilter& filter, std::vector<JobRow>& rows, std::string& error);
    bool Rates(const HistoryFilter& filter, RateGroup group, std::vector<RateRow>& rows,
               std::string& error);
    // False when there is no such job.
    bool Log(int64_t nId, std::string& log, std::string& error);
    int64_t Count(std::string& error);

  private:
    CDbConnection m_db;
};

}  // namespace history
