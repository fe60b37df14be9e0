#include "platform/history/history_target.h"

#include <QUrl>
#include <QUrlQuery>

namespace history {

namespace {

// libpq options the URL may carry; anything else is refused, not passed on.
constexpr const char* kPgOptions[] = {"sslmode",    "sslrootcert",     "sslcert",
                                      "sslkey",     "connect_timeout", "application_name",
                                      "keepalives", "keepalives_idle"};

bool KnownOption(const QString& key) {
    for (const char* k : kPgOptions) {
        if (key == QLatin1String(k)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string HistoryTarget::Display() const {
    if (kind != Kind::Postgres) {
        return strUrl;
    }
    QUrl url(QString::fromStdString(strUrl));
    if (!url.password().isEmpty()) {
        url.setPassword(QStringLiteral("***"));
    }
    return url.toString().toStdString();
}

bool ParseHistoryTarget(const std::string& strUrl, HistoryTarget& target, std::string& error) {
    target = HistoryTarget{};
    target.strUrl = strUrl;
    if (strUrl == "off" || strUrl == "none") {
        target.kind = HistoryTarget::Kind::Off;
        return true;
    }
    if (strUrl.empty()) {
        error = "no history database named";
        return false;
    }
    if (strUrl[0] == '/') {
        target.kind = HistoryTarget::Kind::Sqlite;
        target.strPath = strUrl;
        return true;
    }
    const QUrl url(QString::fromStdString(strUrl), QUrl::StrictMode);
    if (!url.isValid()) {
        error = "not a database URL";
        return false;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("sqlite") || scheme == QLatin1String("file")) {
        target.kind = HistoryTarget::Kind::Sqlite;
        target.strPath = url.path().toStdString();
        if (target.strPath.empty() || target.strPath[0] != '/') {
            error = "an SQLite URL needs an absolute path (sqlite:///path/history.sqlite)";
            return false;
        }
        return true;
    }
    if (scheme != QLatin1String("postgresql") && scheme != QLatin1String("postgres")) {
        error = "unknown kind of database '" + scheme.toStdString() +
                "' (sqlite:///PATH or postgresql://USER@HOST/DATABASE)";
        return false;
    }
    target.kind = HistoryTarget::Kind::Postgres;
    target.strHost = url.host().toStdString();
    target.nPort = url.port(-1);
    target.strUser = url.userName().toStdString();
    target.strPassword = url.password().toStdString();
    QString path = url.path();
    if (path.startsWith(QLatin1Char('/'))) {
        path.remove(0, 1);
    }
    target.strDatabase = path.toStdString();
    if (target.strDatabase.empty() || path.contains(QLatin1Char('/'))) {
        error = "the URL names no database (postgresql://USER@HOST/DATABASE)";
        return false;
    }
    std::string options;
    for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("host")) {
            target.strHost = value.toStdString();
        } else if (key == QLatin1String("port")) {
            bool bOk = false;
            target.nPort = value.toInt(&bOk);
            if (!bOk || target.nPort <= 0 || target.nPort > 65535) {
                error = "port '" + value.toStdString() + "' is not a port number";
                return false;
            }
        } else if (KnownOption(key)) {
            if (value.contains(QLatin1Char(';'))) {
                error = "option " + key.toStdString() + " holds a ';'";
                return false;
            }
            options += (options.empty() ? "" : ";") + key.toStdString() + "=" + value.toStdString();
        } else {
            error = "unknown URL option '" + key.toStdString() + "'";
            return false;
        }
    }
    // An unreachable server must not hold a job's record up for minutes.
    if (options.find("connect_timeout=") == std::string::npos) {
        options += std::string(options.empty() ? "" : ";") + "connect_timeout=5";
    }
    target.strOptions = options;
    return true;
}

}  // namespace history
