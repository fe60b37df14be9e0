#include "platform/history/history_store.h"

#include <QDateTime>
#include <QSqlQuery>
#include <algorithm>
#include <map>

#include "platform/history/history_schema.h"

namespace history {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string S(const QVariant& v) {
    return v.toString().toStdString();
}

int64_t ParseUtc(const QVariant& v) {
    const QDateTime t = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
    return t.isValid() ? t.toMSecsSinceEpoch() : 0;
}

// A LIKE pattern that matches text literally (escape character '\').
QString LikeLiteral(const std::string& text) {
    QString out;
    for (const QChar c : Q(text)) {
        if (c == QLatin1Char('%') || c == QLatin1Char('_') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
        }
        out += c;
    }
    return out;
}

// The WHERE clause of a filter over jobs j, its values in order.
QString Where(const HistoryFilter& f, QVariantList& values) {
    QStringList parts;
    if (!f.strProgram.empty()) {
        parts << QStringLiteral("j.program = ?");
        values << Q(f.strProgram);
    }
    if (f.nSinceMs >= 0) {
        parts << QStringLiteral("j.started_at >= ?");
        values << Q(FormatUtc(f.nSinceMs));
    }
    if (f.nUntilMs >= 0) {
        parts << QStringLiteral("j.started_at < ?");
        values << Q(FormatUtc(f.nUntilMs));
    }
    if (!f.strDevice.empty()) {
        const QString like =
            QLatin1Char('%') + LikeLiteral(f.strDevice).toLower() + QLatin1Char('%');
        parts << QStringLiteral(
            "(LOWER(j.device) LIKE ? ESCAPE '\\' OR LOWER(j.usb_serial) LIKE ? ESCAPE '\\' OR "
            "LOWER(j.port) LIKE ? ESCAPE '\\')");
        values << like << like << like;
    }
    if (!f.strStation.empty()) {
        parts << QStringLiteral("j.station = ?");
        values << Q(f.strStation);
    }
    if (f.bFailedOnly) {
        parts << QStringLiteral("j.result = ?");
        values << QString::fromLatin1(kResultFailed);
    }
    if (!f.strImageSha.empty()) {
        parts << QStringLiteral(
            "EXISTS (SELECT 1 FROM job_images i WHERE i.job_id = j.id AND i.sha256 LIKE ? ESCAPE "
            "'\\')");
        values << LikeLiteral(f.strImageSha).toLower() + QLatin1Char('%');
    }
    return parts.isEmpty() ? QString()
                           : QStringLiteral(" WHERE ") + parts.join(QStringLiteral(" AND "));
}

QVariant NullableInt(int n) {
    return n == 0 ? QVariant(QMetaType::fromType<int>()) : QVariant(n);
}

QVariant NullableText(const std::string& s, bool bNull) {
    return bNull ? QVariant(QMetaType::fromType<QString>()) : QVariant(Q(s));
}

}  // namespace

bool CHistoryStore::Open(const HistoryTarget& target, std::string& error) {
    if (!m_db.Open(target, error)) {
        return false;
    }
    if (!EnsureSchema(m_db, error)) {
        m_db.Close();
        return false;
    }
    return true;
}

InsertResult CHistoryStore::Insert(const JobRecord& r, std::string& error) {
    const bool bPg = m_db.IsPostgres();
    if (!m_db.ExecPlain(QStringLiteral("BEGIN"), error)) {
        return InsertResult::Failed;
    }
    auto fail = [this] {
        std::string ignored;
        m_db.ExecPlain(QStringLiteral("ROLLBACK"), ignored);
        return InsertResult::Failed;
    };
    QSqlQuery q;
    const QString insert = QStringLiteral(
        "INSERT INTO jobs (job_uid, started_at, ended_at, station, program, version, front_end, "
        "port, slot, device, usb_serial, flash_id, operation, profile, result, failure_code, "
        "failure_text, bytes) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
        "ON CONFLICT (job_uid) DO NOTHING");
    const QVariantList values{Q(r.strUid),
                              Q(FormatUtc(r.nStartMs)),
                              Q(FormatUtc(r.nEndMs)),
                              Q(r.strStation),
                              Q(r.strProgram),
                              Q(r.strVersion),
                              Q(r.strFrontEnd),
                              Q(r.strPort),
                              NullableInt(r.nSlot),
                              Q(r.strDevice),
                              Q(r.strUsbSerial),
                              Q(r.strFlashId),
                              Q(r.strOperation),
                              Q(r.strProfile),
                              QString::fromLatin1(r.bCompleted ? kResultCompleted : kResultFailed),
                              Q(r.strFailureCode),
                              Q(r.strFailureText),
                              static_cast<qlonglong>(r.nBytes)};
    if (!m_db.Exec(bPg ? insert + QStringLiteral(" RETURNING id") : insert, values, error, &q)) {
        return fail();
    }
    qlonglong nId = 0;
    if (bPg) {
        if (!q.next()) {
            m_db.ExecPlain(QStringLiteral("COMMIT"), error);
            return InsertResult::Duplicate;
        }
        nId = q.value(0).toLongLong();
    } else {
        if (q.numRowsAffected() == 0) {
            m_db.ExecPlain(QStringLiteral("COMMIT"), error);
            return InsertResult::Duplicate;
        }
        nId = q.lastInsertId().toLongLong();
    }
    int nPosition = 0;
    for (const ImageRef& i : r.images) {
        const bool bNoHash = !i.bHashed || i.nSize < 0;
        if (!m_db.Exec(QStringLiteral("INSERT INTO job_images (job_id, position, role, path, size, "
                                      "crc32, sha256, note) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
                       {nId, ++nPosition, Q(i.strRole), Q(i.strPath),
                        bNoHash ? QVariant(QMetaType::fromType<qlonglong>())
                                : QVariant(static_cast<qlonglong>(i.nSize)),
                        NullableText(i.strCrc32, bNoHash), NullableText(i.strSha256, bNoHash),
                        Q(i.strNote)},
                       error)) {
            return fail();
        }
    }
    if (!m_db.Exec(QStringLiteral("INSERT INTO job_logs (job_id, log) VALUES (?, ?)"),
                   {nId, Q(r.strLog)}, error) ||
        !m_db.ExecPlain(QStringLiteral("COMMIT"), error)) {
        return fail();
    }
    return InsertResult::Inserted;
}

bool CHistoryStore::Query(const HistoryFilter& filter, std::vector<JobRow>& rows,
                          std::string& error) {
    rows.clear();
    QVariantList values;
    const QString where = Where(filter, values);
    QString sql = QStringLiteral(
                      "SELECT j.id, j.job_uid, j.started_at, j.ended_at, j.station, j.program, "
                      "j.version, j.front_end, j.port, j.slot, j.device, j.usb_serial, j.flash_id, "
                      "j.operation, j.profile, j.result, j.failure_code, j.failure_text, j.bytes "
                      "FROM jobs j") +
                  where + QStringLiteral(" ORDER BY j.started_at DESC, j.id DESC");
    if (filter.nLimit > 0) {
        sql += QStringLiteral(" LIMIT ?");
        values << filter.nLimit;
    }
    QSqlQuery q;
    if (!m_db.Exec(sql, values, error, &q)) {
        return false;
    }
    std::map<qlonglong, size_t> index;
    while (q.next()) {
        JobRow row;
        row.nId = q.value(0).toLongLong();
        JobRecord& r = row.record;
        r.strUid = S(q.value(1));
        r.nStartMs = ParseUtc(q.value(2));
        r.nEndMs = ParseUtc(q.value(3));
        r.strStation = S(q.value(4));
        r.strProgram = S(q.value(5));
        r.strVersion = S(q.value(6));
        r.strFrontEnd = S(q.value(7));
        r.strPort = S(q.value(8));
        r.nSlot = q.value(9).isNull() ? 0 : q.value(9).toInt();
        r.strDevice = S(q.value(10));
        r.strUsbSerial = S(q.value(11));
        r.strFlashId = S(q.value(12));
        r.strOperation = S(q.value(13));
        r.strProfile = S(q.value(14));
        r.bCompleted = S(q.value(15)) == kResultCompleted;
        r.strFailureCode = S(q.value(16));
        r.strFailureText = S(q.value(17));
        r.nBytes = q.value(18).toLongLong();
        index[row.nId] = rows.size();
        rows.push_back(std::move(row));
    }
    if (rows.empty()) {
        return true;
    }
    // The images of the same jobs: by the same filter for all of them, by
    // their ids for the newest few.
    auto take = [&](QSqlQuery& qi) {
        while (qi.next()) {
            const auto it = index.find(qi.value(0).toLongLong());
            if (it == index.end()) {
                continue;
            }
            ImageRef i;
            i.strRole = S(qi.value(1));
            i.strPath = S(qi.value(2));
            i.bHashed = !qi.value(3).isNull();
            i.nSize = i.bHashed ? qi.value(3).toLongLong() : -1;
            i.strCrc32 = S(qi.value(4));
            i.strSha256 = S(qi.value(5));
            i.strNote = S(qi.value(6));
            rows[it->second].record.images.push_back(std::move(i));
        }
    };
    const QString columns = QStringLiteral(
        "SELECT i.job_id, i.role, i.path, i.size, i.crc32, i.sha256, i.note FROM job_images i");
    if (filter.nLimit <= 0) {
        QVariantList imageValues;
        const QString imageWhere = Where(filter, imageValues);
        QSqlQuery qi;
        if (!m_db.Exec(columns + QStringLiteral(" JOIN jobs j ON j.id = i.job_id") + imageWhere +
                           QStringLiteral(" ORDER BY i.job_id, i.position"),
                       imageValues, error, &qi)) {
            return false;
        }
        take(qi);
        return true;
    }
    constexpr size_t kChunk = 500;
    for (size_t first = 0; first < rows.size(); first += kChunk) {
        const size_t n = std::min(kChunk, rows.size() - first);
        QVariantList ids;
        for (size_t k = 0; k < n; ++k) {
            ids << static_cast<qlonglong>(rows[first + k].nId);
        }
        QStringList marks;
        marks.fill(QStringLiteral("?"), static_cast<qsizetype>(n));
        QSqlQuery qi;
        if (!m_db.Exec(columns + QStringLiteral(" WHERE i.job_id IN (") +
                           marks.join(QLatin1Char(',')) +
                           QStringLiteral(") ORDER BY i.job_id, i.position"),
                       ids, error, &qi)) {
            return false;
        }
        take(qi);
    }
    return true;
}

bool CHistoryStore::Rates(const HistoryFilter& filter, RateGroup group, std::vector<RateRow>& rows,
                          std::string& error) {
    rows.clear();
    QVariantList values;
    const QString where = Where(filter, values);
    const QString key = group == RateGroup::Slot   ? QStringLiteral("j.slot")
                        : group == RateGroup::Port ? QStringLiteral("j.port")
                                                   : QStringLiteral("j.station");
    QSqlQuery q;
    if (!m_db.Exec(QStringLiteral("SELECT %1, COUNT(*), SUM(CASE WHEN j.result = ? THEN 1 ELSE 0 "
                                  "END) FROM jobs j")
                           .arg(key) +
                       where + QStringLiteral(" GROUP BY %1 ORDER BY %1").arg(key),
                   QVariantList{QString::fromLatin1(kResultFailed)} + values, error, &q)) {
        return false;
    }
    while (q.next()) {
        RateRow row;
        row.strKey = q.value(0).isNull() ? std::string("-") : S(q.value(0));
        row.nJobs = q.value(1).toLongLong();
        row.nFailed = q.value(2).toLongLong();
        rows.push_back(std::move(row));
    }
    return true;
}

bool CHistoryStore::Log(int64_t nId, std::string& log, std::string& error) {
    QSqlQuery q;
    if (!m_db.Exec(QStringLiteral("SELECT j.id, l.log FROM jobs j LEFT JOIN job_logs l ON "
                                  "l.job_id = j.id WHERE j.id = ?"),
                   {static_cast<qlonglong>(nId)}, error, &q)) {
        return false;
    }
    if (!q.next()) {
        error = "no job " + std::to_string(nId);
        return false;
    }
    log = S(q.value(1));
    return true;
}

int64_t CHistoryStore::Count(std::string& error) {
    QSqlQuery q;
    if (!m_db.Exec(QStringLiteral("SELECT COUNT(*) FROM jobs"), {}, error, &q) || !q.next()) {
        return -1;
    }
    return q.value(0).toLongLong();
}

}  // namespace history
