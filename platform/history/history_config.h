#pragma once
// Where a program's history goes and under which station name, from its
// command line (--history URL), its settings (group History: Database,
// Station) or the defaults: an SQLite file in the program's data folder
// (QStandardPaths::AppDataLocation) and the host name. The spool is one file
// for the whole suite, so that any later run of either program sends what
// another left waiting.

#include <functional>
#include <memory>
#include <string>

#include "platform/history/history_recorder.h"
#include "platform/history/history_store.h"
#include "platform/history/history_target.h"

namespace history {

struct HistoryProgram {
    const char* pszProgram;  // as records name it; also its settings and data folder
    const char* pszCli;      // the command line's name, for messages
    RateGroup bySlot;        // what "per slot" means: the fleet's slots, the single port
};

inline constexpr HistoryProgram kOrielHistory{"oriel_downloader", "oriel_cli", RateGroup::Port};
inline constexpr HistoryProgram kFleetHistory{"fleet_downloader", "fleet_cli", RateGroup::Slot};

constexpr char kSettingsOrganisation[] = "ORIEL Tools";
constexpr char kSettingsGroup[] = "History";

struct HistoryConfig {
    HistoryTarget target;
    std::string strStation;
    std::string strSpoolPath;
};

// strUrlOption: --history (empty: not given); strSettingsFile: an INI file
// instead of the program's settings (empty: those). False with the reason
// for a URL that names no database.
bool ResolveHistoryConfig(const HistoryProgram& program, const std::string& strUrlOption,
                          const std::string& strSettingsFile, HistoryConfig& config,
                          std::string& error);

// For a program about to run jobs, which must be recorded and must not
// fail for the history's sake: a --history that names no database is an
// error (nothing is run); a setting that names none is said in warning and
// the local file used instead.
bool ResolveForRecording(const HistoryProgram& program, const std::string& strUrlOption,
                         const std::string& strSettingsFile, HistoryConfig& config,
                         std::string& warning, std::string& error);

// <AppDataLocation>/history.sqlite; the program's organisation and
// application names must be set (QCoreApplication) before.
std::string DefaultDatabasePath();
// <GenericDataLocation>/ORIEL Tools/history-spool.sqlite
std::string SpoolPath();

// The recorder for a configuration; null when the history is off.
std::unique_ptr<CHistoryRecorder> StartRecorder(const HistoryConfig& config,
                                                std::function<void(const std::string&)> fnNotice);

}  // namespace history
