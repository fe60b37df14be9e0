#include "platform/history/history_schema.h"

#include <QStringList>

#include "platform/history/db_connection.h"

namespace history {

namespace {

// Other stations migrating the same PostgreSQL database wait on this lock.
constexpr char kPgMigrationLock[] = "SELECT pg_advisory_xact_lock(1330794828)";

QStringList Version1(bool bPostgres) {
    const QString id = bPostgres ? QStringLiteral("id BIGSERIAL PRIMARY KEY")
                                 : QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT");
    return {
        QStringLiteral("CREATE TABLE history_schema (version INTEGER NOT NULL)"),
        QStringLiteral("INSERT INTO history_schema (version) VALUES (0)"),
        QStringLiteral("CREATE TABLE jobs ("
                       "%1, "
                       "job_uid TEXT NOT NULL UNIQUE, "
                       "started_at TEXT NOT NULL, "
                       "ended_at TEXT NOT NULL, "
                       "station TEXT NOT NULL, "
                       "program TEXT NOT NULL, "
                       "version TEXT NOT NULL, "
                       "front_end TEXT NOT NULL, "
                       "port TEXT NOT NULL, "
                       "slot INTEGER, "
                       "device TEXT NOT NULL, "
                       "usb_serial TEXT NOT NULL, "
                       "flash_id TEXT NOT NULL, "
                       "operation TEXT NOT NULL, "
                       "profile TEXT NOT NULL, "
                       "result TEXT NOT NULL, "
                       "failure_code TEXT NOT NULL, "
                       "failure_text TEXT NOT NULL, "
                       "bytes BIGINT NOT NULL, "
                       "log TEXT NOT NULL)")
            .arg(id),
        QStringLiteral("CREATE TABLE job_images ("
                       "job_id BIGINT NOT NULL REFERENCES jobs (id) ON DELETE CASCADE, "
                       "position INTEGER NOT NULL, "
                       "role TEXT NOT NULL, "
                       "path TEXT NOT NULL, "
                       "size BIGINT, "
                       "crc32 TEXT, "
                       "sha256 TEXT, "
                       "note TEXT NOT NULL, "
                       "PRIMARY KEY (job_id, position))"),
    };
}

QStringList Version2() {
    return {
        QStringLiteral("CREATE TABLE job_logs ("
                       "job_id BIGINT PRIMARY KEY REFERENCES jobs (id) ON DELETE CASCADE, "
                       "log TEXT NOT NULL)"),
        QStringLiteral("INSERT INTO job_logs (job_id, log) SELECT id, log FROM jobs"),
        QStringLiteral("ALTER TABLE jobs DROP COLUMN log"),
        QStringLiteral("CREATE INDEX jobs_started_at ON jobs (started_at)"),
        QStringLiteral("CREATE INDEX jobs_station ON jobs (station)"),
        QStringLiteral("CREATE INDEX jobs_program_started_at ON jobs (program, started_at)"),
        QStringLiteral("CREATE INDEX job_images_sha256 ON job_images (sha256)"),
    };
}

bool RunAll(CDbConnection& db, const QStringList& statements, std::string& error) {
    for (const QString& sql : statements) {
        if (!db.ExecPlain(sql, error)) {
            error += " (" + sql.left(60).toStdString() + "...)";
            return false;
        }
    }
    return true;
}

}  // namespace

int ReadSchemaVersion(CDbConnection& db, std::string& error) {
    if (!db.Db().tables().contains(QStringLiteral("history_schema"))) {
        return 0;
    }
    QSqlQuery q;
    if (!db.Exec(QStringLiteral("SELECT version FROM history_schema"), {}, error, &q)) {
        return -1;
    }
    if (!q.next()) {
        error = "the schema table is empty";
        return -1;
    }
    return q.value(0).toInt();
}

bool MigrateSchema(CDbConnection& db, int nTarget, std::string& error) {
    if (nTarget < 1 || nTarget > kSchemaVersion) {
        error = "no such schema version";
        return false;
    }
    // Nothing to do, nothing to lock: the usual case.
    int nVersion = ReadSchemaVersion(db, error);
    if (nVersion == nTarget) {
        return true;
    }
    if (nVersion > nTarget) {
        error = "the history database has schema version " + std::to_string(nVersion) +
                ", newer than this program's " + std::to_string(nTarget) +
                "; update the program on this station";
        return false;
    }
    const bool bPg = db.IsPostgres();
    if (!db.ExecPlain(bPg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"), error)) {
        return false;
    }
    auto fail = [&db](std::string&) {
        std::string ignored;
        db.ExecPlain(QStringLiteral("ROLLBACK"), ignored);
        return false;
    };
    if (bPg && !db.ExecPlain(QLatin1String(kPgMigrationLock), error)) {
        return fail(error);
    }
    // Another station may have migrated while this one waited for the lock.
    nVersion = ReadSchemaVersion(db, error);
    if (nVersion < 0) {
        return fail(error);
    }
    if (nVersion > nTarget) {
        error = "the history database has schema version " + std::to_string(nVersion) +
                ", newer than this program's " + std::to_string(nTarget);
        return fail(error);
    }
    if (nVersion < 1 && !RunAll(db, Version1(bPg), error)) {
        return fail(error);
    }
    if (nVersion < 2 && nTarget >= 2 && !RunAll(db, Version2(), error)) {
        return fail(error);
    }
    if (!db.Exec(QStringLiteral("UPDATE history_schema SET version = ?"), {nTarget}, error) ||
        !db.ExecPlain(QStringLiteral("COMMIT"), error)) {
        return fail(error);
    }
    return true;
}

bool EnsureSchema(CDbConnection& db, std::string& error) {
    return MigrateSchema(db, kSchemaVersion, error);
}

}  // namespace history
