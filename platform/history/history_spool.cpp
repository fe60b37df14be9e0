#include "platform/history/history_spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace history {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

bool CHistorySpool::Open(const std::string& strPath, std::string& error) {
    // Made the owner's alone before SQLite opens it: its log files take the
    // same mode.
    QDir().mkpath(QFileInfo(Q(strPath)).absolutePath());
    const int fd = ::open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    }
    QFile::setPermissions(Q(strPath), QFile::ReadOwner | QFile::WriteOwner);
    HistoryTarget target;
    target.kind = HistoryTarget::Kind::Sqlite;
    target.strPath = strPath;
    target.strUrl = strPath;
    if (!m_db.Open(target, error)) {
        return false;
    }
    if (!m_db.ExecPlain(QStringLiteral("CREATE TABLE IF NOT EXISTS spool ("
                                       "seq INTEGER PRIMARY KEY AUTOINCREMENT, "
                                       "destination TEXT NOT NULL, "
                                       "job_uid TEXT NOT NULL, "
                                       "spooled_at TEXT NOT NULL, "
                                       "record TEXT NOT NULL)"),
                        error) ||
        !m_db.ExecPlain(QStringLiteral("CREATE TABLE IF NOT EXISTS rejected ("
                                       "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                       "seq INTEGER, "
                                       "destination TEXT NOT NULL, "
                                       "job_uid TEXT NOT NULL, "
                                       "spooled_at TEXT NOT NULL, "
                                       "rejected_at TEXT NOT NULL, "
                                       "reason TEXT NOT NULL, "
                                       "record TEXT NOT NULL)"),
                        error)) {
        m_db.Close();
        return false;
    }
    return true;
}

bool CHistorySpool::Append(const std::string& strDestination, const JobRecord& record,
                           std::string& error) {
    return m_db.Exec(
        QStringLiteral("INSERT INTO spool (destination, job_uid, spooled_at, record) "
                       "VALUES (?, ?, ?, ?)"),
        {Q(strDestination), Q(record.strUid), Q(FormatUtc(NowUtcMs())), Q(RecordToJson(record))},
        error);
}

bool CHistorySpool::Pending(const std::string& strDestination, int nLimit,
                            std::vector<SpoolEntry>& entries, std::string& error) {
    entries.clear();
    QSqlQuery q;
    if (!m_db.Exec(QStringLiteral("SELECT seq, destination, job_uid, record FROM spool WHERE "
                                  "destination = ? ORDER BY seq LIMIT ?"),
                   {Q(strDestination), nLimit}, error, &q)) {
        return false;
    }
    while (q.next()) {
        entries.push_back({q.value(0).toLongLong(), q.value(1).toString().toStdString(),
                           q.value(2).toString().toStdString(),
                           q.value(3).toString().toStdString()});
    }
    return true;
}

bool CHistorySpool::Destinations(std::vector<std::string>& destinations, std::string& error) {
    destinations.clear();
    QSqlQuery q;
    if (!m_db.Exec(QStringLiteral("SELECT destination, MIN(seq) AS first FROM spool GROUP BY "
                                  "destination ORDER BY first"),
                   {}, error, &q)) {
        return false;
    }
    while (q.next()) {
        destinations.push_back(q.value(0).toString().toStdString());
    }
    return true;
}

int64_t CHistorySpool::Count(const std::string& strDestination, std::string& error) {
    QSqlQuery q;
    const bool bOk =
        strDestination.empty()
            ? m_db.Exec(QStringLiteral("SELECT COUNT(*) FROM spool"), {}, error, &q)
            : m_db.Exec(QStringLiteral("SELECT COUNT(*) FROM spool WHERE destination = ?"),
                        {Q(strDestination)}, error, &q);
    if (!bOk || !q.next()) {
        return -1;
    }
    return q.value(0).toLongLong();
}

bool CHistorySpool::Remove(int64_t nSeq, std::string& error) {
    return m_db.Exec(QStringLiteral("DELETE FROM spool WHERE seq = ?"),
                     {static_cast<qlonglong>(nSeq)}, error);
}

bool CHistorySpool::Reject(const SpoolEntry& e, const std::string& strReason, std::string& error) {
    if (!m_db.ExecPlain(QStringLiteral("BEGIN IMMEDIATE"), error)) {
        return false;
    }
    if (!m_db.Exec(QStringLiteral("INSERT INTO rejected (seq, destination, job_uid, spooled_at, "
                                  "rejected_at, reason, record) SELECT seq, destination, job_uid, "
                                  "spooled_at, ?, ?, record FROM spool WHERE seq = ?"),
                   {Q(FormatUtc(NowUtcMs())), Q(strReason), static_cast<qlonglong>(e.nSeq)},
                   error) ||
        !Remove(e.nSeq, error) || !m_db.ExecPlain(QStringLiteral("COMMIT"), error)) {
        std::string ignored;
        m_db.ExecPlain(QStringLiteral("ROLLBACK"), ignored);
        return false;
    }
    return true;
}

bool CHistorySpool::SetAside(const std::string& strDestination, const JobRecord& record,
                             const std::string& strReason, std::string& error) {
    const QString now = Q(FormatUtc(NowUtcMs()));
    return m_db.Exec(
        QStringLiteral("INSERT INTO rejected (destination, job_uid, spooled_at, "
                       "rejected_at, reason, record) VALUES (?, ?, ?, ?, ?, ?)"),
        {Q(strDestination), Q(record.strUid), now, now, Q(strReason), Q(RecordToJson(record))},
        error);
}

int64_t CHistorySpool::RejectedCount(std::string& error) {
    QSqlQuery q;
    if (!m_db.Exec(QStringLiteral("SELECT COUNT(*) FROM rejected"), {}, error, &q) || !q.next()) {
        return -1;
    }
    return q.value(0).toLongLong();
}

}  // namespace history
