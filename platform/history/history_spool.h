#pragma once
// The local spool: records that could not be written to their database wait
// here, in the order they came, each with the database it is for, until
// one run or another of either program can send them. A record leaves the
// spool only after its database has committed it; sent twice (the program
// died in between), the database knows its id and keeps one. A record a
// working database refuses is moved aside (kept, reported), so that it does
// not hold up the ones behind it.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/history/db_connection.h"
#include "platform/history/job_record.h"

namespace history {

struct SpoolEntry {
    int64_t nSeq = 0;
    std::string strDestination;  // the database URL
    std::string strUid;
    std::string strJson;  // the record
};

class CHistorySpool {
  public:
    CHistorySpool() : m_db("spool") {}

    // The file is made (readable by its owner only: it may hold a URL with
    // its password) when missing.
    bool Open(const std::string& strPath, std::string& error);
    bool IsOpen() const { return m_db.IsOpen(); }
    void Close() { m_db.Close(); }

    bool Append(const std::string& strDestination, const JobRecord& record, std::string& error);
    // The oldest waiting records for one database, oldest first.
    bool Pending(const std::string& strDestination, int nLimit, std::vector<SpoolEntry>& entries,
                 std::string& error);
    // Every database records wait for.
    bool Destinations(std::vector<std::string>& destinations, std::string& error);
    // Waiting records (for one database; empty: all). -1 on an error.
    int64_t Count(const std::string& strDestination, std::string& error);
    bool Remove(int64_t nSeq, std::string& error);
    bool Reject(const SpoolEntry& entry, const std::string& strReason, std::string& error);
    // A record its working database refused, kept beside the spool.
    bool SetAside(const std::string& strDestination, const JobRecord& record,
                  const std::string& strReason, std::string& error);
    int64_t RejectedCount(std::string& error);

  private:
    CDbConnection m_db;
};

}  // namespace history
