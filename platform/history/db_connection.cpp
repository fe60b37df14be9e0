#include "platform/history/db_connection.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <atomic>
#include <optional>

namespace history {

namespace {

std::atomic<unsigned> g_nConnections{0};

std::string ErrorText(const QSqlError& e) {
    QString text = e.databaseText().trimmed();
    if (text.isEmpty()) {
        text = e.driverText().trimmed();
    }
    if (text.isEmpty()) {
        text = e.text().trimmed();
    }
    return text.simplified().toStdString();
}

}  // namespace

CDbConnection::CDbConnection(const char* pszRole)
    : m_name(
          QStringLiteral("oriel_history_%1_%2").arg(QLatin1String(pszRole)).arg(++g_nConnections)) {
}

CDbConnection::~CDbConnection() {
    Close();
}

QSqlDatabase CDbConnection::Db() const {
    return QSqlDatabase::database(m_name, false);
}

void CDbConnection::Close() {
    if (!QSqlDatabase::contains(m_name)) {
        return;
    }
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isOpen()) {
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(m_name);
    m_bOpen = false;
}

bool CDbConnection::Open(const HistoryTarget& target, std::string& error) {
    Close();
    m_target = target;
    m_bPostgres = target.kind == HistoryTarget::Kind::Postgres;
    if (target.kind == HistoryTarget::Kind::Off) {
        error = "history is off";
        return false;
    }
    const QString driver = m_bPostgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        error = "the Qt SQL driver " + driver.toStdString() + " is not installed (Debian: " +
                (m_bPostgres ? "libqt6sql6-psql" : "libqt6sql6-sqlite") + ")";
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, m_name);
    if (m_bPostgres) {
        db.setHostName(QString::fromStdString(target.strHost));
        if (target.nPort > 0) {
            db.setPort(target.nPort);
        }
        db.setDatabaseName(QString::fromStdString(target.strDatabase));
        db.setUserName(QString::fromStdString(target.strUser));
        db.setPassword(QString::fromStdString(target.strPassword));
        db.setConnectOptions(QString::fromStdString(target.strOptions));
    } else {
        const QFileInfo file(QString::fromStdString(target.strPath));
        if (!QDir().mkpath(file.absolutePath())) {
            error = "cannot make the folder " + file.absolutePath().toStdString();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_name);
            return false;
        }
        db.setDatabaseName(file.absoluteFilePath());
        // Several programs may write at once; a writer waits for the other's lock.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    }
    if (!db.open()) {
        error = ErrorText(db.lastError());
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
        return false;
    }
    m_bOpen = true;
    if (!m_bPostgres) {
        // A commit is one write to the log, and readers do not wait for writers.
        std::string ignored;
        ExecPlain(QStringLiteral("PRAGMA journal_mode = WAL"), ignored);
        ExecPlain(QStringLiteral("PRAGMA foreign_keys = ON"), ignored);
    }
    return true;
}

bool CDbConnection::Exec(const QString& sql, const QVariantList& values, std::string& error,
                         QSqlQuery* pQuery) {
    if (!m_bOpen) {
        error = "not connected";
        return false;
    }
    std::optional<QSqlQuery> local;
    if (pQuery != nullptr) {
        *pQuery = QSqlQuery(Db());
    } else {
        local.emplace(Db());
    }
    QSqlQuery& q = pQuery != nullptr ? *pQuery : *local;
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        error = ErrorText(q.lastError());
        return false;
    }
    for (const QVariant& v : values) {
        q.addBindValue(v);
    }
    if (!q.exec()) {
        error = ErrorText(q.lastError());
        return false;
    }
    return true;
}

bool CDbConnection::ExecPlain(const QString& sql, std::string& error) {
    if (!m_bOpen) {
        error = "not connected";
        return false;
    }
    QSqlQuery q(Db());
    if (!q.exec(sql)) {
        error = ErrorText(q.lastError());
        return false;
    }
    return true;
}

bool CDbConnection::Alive() {
    std::string ignored;
    return m_bOpen && ExecPlain(QStringLiteral("SELECT 1"), ignored);
}

}  // namespace history
