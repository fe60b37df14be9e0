#pragma once
// One connection to a history database (or the spool), owned by the thread
// that opened it: Qt SQL connections must stay on their thread. Statements
// take their values only as bound parameters.

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <string>

#include "platform/history/history_target.h"

namespace history {

class CDbConnection {
  public:
    // pszRole names the connection in diagnostics; each object has its own.
    explicit CDbConnection(const char* pszRole);
    ~CDbConnection();
    CDbConnection(const CDbConnection&) = delete;
    CDbConnection& operator=(const CDbConnection&) = delete;

    // An SQLite file is made (with its folder) if missing.
    bool Open(const HistoryTarget& target, std::string& error);
    void Close();
    bool IsOpen() const { return m_bOpen; }
    bool IsPostgres() const { return m_bPostgres; }
    const HistoryTarget& Target() const { return m_target; }
    QSqlDatabase Db() const;

    // Prepares and runs a statement with its values bound in order. False
    // with the database's error text; query (when given) keeps the results.
    bool Exec(const QString& sql, const QVariantList& values, std::string& error,
              QSqlQuery* pQuery = nullptr);
    // Statements that take no values (DDL, transactions).
    bool ExecPlain(const QString& sql, std::string& error);
    // Whether the server still answers (after a failed statement: was it the
    // connection or the statement?).
    bool Alive();

  private:
    QString m_name;
    HistoryTarget m_target;
    bool m_bOpen = false;
    bool m_bPostgres = false;
};

}  // namespace history
