#include "platform/history/history_config.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>

namespace history {

std::string DefaultDatabasePath() {
    return (QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
            QStringLiteral("/history.sqlite"))
        .toStdString();
}

std::string SpoolPath() {
    return (QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
            QLatin1Char('/') + QLatin1String(kSettingsOrganisation) +
            QStringLiteral("/history-spool.sqlite"))
        .toStdString();
}

bool ResolveHistoryConfig(const HistoryProgram& program, const std::string& strUrlOption,
                          const std::string& strSettingsFile, HistoryConfig& config,
                          std::string& error) {
    std::unique_ptr<QSettings> settings =
        strSettingsFile.empty()
            ? std::make_unique<QSettings>(QLatin1String(kSettingsOrganisation),
                                          QLatin1String(program.pszProgram))
            : std::make_unique<QSettings>(QString::fromStdString(strSettingsFile),
                                          QSettings::IniFormat);
    settings->beginGroup(QLatin1String(kSettingsGroup));
    std::string url = strUrlOption;
    const char* pszFrom = "--history";
    if (url.empty()) {
        url = settings->value(QStringLiteral("Database")).toString().trimmed().toStdString();
        pszFrom = "setting History/Database";
    }
    if (url.empty()) {
        url = DefaultDatabasePath();
    }
    if (!ParseHistoryTarget(url, config.target, error)) {
        error = std::string(pszFrom) + ": " + error;
        return false;
    }
    config.strStation =
        settings->value(QStringLiteral("Station")).toString().trimmed().toStdString();
    if (config.strStation.empty()) {
        config.strStation = HostName();
    }
    config.strSpoolPath = SpoolPath();
    return true;
}

bool ResolveForRecording(const HistoryProgram& program, const std::string& strUrlOption,
                         const std::string& strSettingsFile, HistoryConfig& config,
                         std::string& warning, std::string& error) {
    if (ResolveHistoryConfig(program, strUrlOption, strSettingsFile, config, error)) {
        return true;
    }
    if (!strUrlOption.empty()) {
        return false;
    }
    warning = "history: " + error + "; recording into " + DefaultDatabasePath() + " instead";
    error.clear();
    return ResolveHistoryConfig(program, DefaultDatabasePath(), strSettingsFile, config, error);
}

std::unique_ptr<CHistoryRecorder> StartRecorder(const HistoryConfig& config,
                                                std::function<void(const std::string&)> fnNotice) {
    if (config.target.IsOff()) {
        return nullptr;
    }
    RecorderOptions options;
    options.target = config.target;
    options.strSpoolPath = config.strSpoolPath;
    options.fnNotice = std::move(fnNotice);
    return std::make_unique<CHistoryRecorder>(std::move(options));
}

}  // namespace history
