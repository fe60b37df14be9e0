#pragma once
// "oriel_cli history" and "fleet_cli history": what the history holds, as a
// table, JSON or CSV; pass rates per slot (port) or station; one job's log.
// Before it reads, it sends what waits in the spool.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/history/history_config.h"
#include "platform/history/history_store.h"

namespace history {

enum class OutputFormat { Table, Json, Csv };
enum class QueryMode { List, BySlot, ByStation, Log };

struct HistoryQueryOptions {
    std::string strUrl;       // --history
    std::string strSettings;  // --settings
    HistoryFilter filter;
    bool bAllPrograms = false;
    OutputFormat format = OutputFormat::Table;
    QueryMode mode = QueryMode::List;
    int64_t nLogId = 0;
    bool bHelp = false;
};

// "2026-01-05", "2026-01-05 14:30", "2026-01-05T14:30:00Z" (local time unless
// it ends in Z), or a time ago: "90m", "12h", "7d".
bool ParseTimeBound(const std::string& text, int64_t nNowMs, int64_t& nMs, std::string& error);

bool ParseHistoryQuery(const std::vector<std::string>& args, HistoryQueryOptions& options,
                       std::string& error);
std::string HistoryUsage(const HistoryProgram& program);

// The whole command: 0 done, 1 the database could not be read, 2 usage.
int RunHistoryCommand(const HistoryProgram& program, const std::vector<std::string>& args,
                      std::FILE* out, std::FILE* err);

}  // namespace history
