#include "platform/history/history_command.h"

#include <QDateTime>
#include <QFileInfo>

#include "platform/history/history_output.h"
#include "platform/history/history_writer.h"
#include "platform/history/pass_rates.h"
#include "platform/option_value.h"

namespace history {

bool ParseTimeBound(const std::string& text, int64_t nNowMs, int64_t& nMs, std::string& error) {
    if (text.size() >= 2) {
        const char unit = text.back();
        const std::string digits = text.substr(0, text.size() - 1);
        const int64_t nUnitMs = unit == 'm'   ? 60000
                                : unit == 'h' ? 3600000
                                : unit == 'd' ? 86400000
                                              : 0;
        if (nUnitMs != 0 && digits.find_first_not_of("0123456789") == std::string::npos &&
            digits.size() <= 6) {
            nMs = nNowMs - std::stoll(digits) * nUnitMs;
            return true;
        }
    }
    QString s = QString::fromStdString(text).trimmed();
    const bool bUtc = s.endsWith(QLatin1Char('Z'));
    if (bUtc) {
        s.chop(1);
    }
    s.replace(QLatin1Char(' '), QLatin1Char('T'));
    QDateTime t;
    for (const char* fmt :
         {"yyyy-MM-ddTHH:mm:ss.zzz", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-ddTHH:mm", "yyyy-MM-dd"}) {
        t = QDateTime::fromString(s, QLatin1String(fmt));
        if (t.isValid()) {
            break;
        }
    }
    if (!t.isValid()) {
        error =
            "'" + text + "' is not a time (2026-01-05, 2026-01-05 14:30, ...Z for UTC, or 12h, 7d)";
        return false;
    }
    if (bUtc) {
        t.setTimeSpec(Qt::UTC);
    }
    nMs = t.toMSecsSinceEpoch();
    return true;
}

std::string HistoryUsage(const HistoryProgram& program) {
    const std::string cli = program.pszCli;
    return "Usage: " + cli +
           " history [options]\n"
           "The jobs this station (or the shared database) recorded, newest first.\n"
           "Options:\n"
           "  --history URL         the database (default: the setting History/Database, else\n"
           "                        the local file); postgresql://USER@HOST/DB or a file path\n"
           "  --settings FILE       read the History settings from this INI file\n"
           "  --since TIME          jobs started at or after TIME (2026-01-05, 2026-01-05 14:30,\n"
           "                        ...Z for UTC; or 90m, 12h, 7d ago)\n"
           "  --until TIME          jobs started before TIME\n"
           "  --device TEXT         part of the device name, USB serial or port\n"
           "  --station NAME        one station\n"
           "  --failed              failed jobs only\n"
           "  --image SHA256        jobs that wrote this image (8 or more hex digits)\n"
           "  --limit N             the newest N jobs only\n"
           "  --all-programs        also the other program's jobs\n"
           "  --json | --csv        output for programs and spreadsheets\n"
           "  --by-slot             pass rate per " +
           (program.bySlot == RateGroup::Slot ? "slot" : "port") +
           ", flagging any that fails more often\n"
           "                        than the others\n"
           "  --by-station          the same per station\n"
           "  --log ID              the whole log of job ID\n"
           "Exit status: 0 done, 1 the database could not be read, 2 usage.\n";
}

bool ParseHistoryQuery(const std::vector<std::string>& args, HistoryQueryOptions& o,
                       std::string& error) {
    const int64_t nNow = NowUtcMs();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) { return platform::TakeOptionValue(args, i, v, error); };
        auto number = [&](int64_t& n) {
            std::string v;
            if (!value(v)) {
                return false;
            }
            if (v.empty() || v.size() > 15 ||
                v.find_first_not_of("0123456789") != std::string::npos || std::stoll(v) <= 0) {
                error = a + ": '" + v + "' is not a positive number";
                return false;
            }
            n = std::stoll(v);
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.bHelp = true;
        } else if (a == "--history") {
            if (!value(o.strUrl)) {
                return false;
            }
        } else if (a == "--settings") {
            if (!value(o.strSettings)) {
                return false;
            }
        } else if (a == "--since" || a == "--until") {
            int64_t nMs = 0;
            if (!value(v)) {
                return false;
            }
            if (!ParseTimeBound(v, nNow, nMs, error)) {
                error = a + ": " + error;
                return false;
            }
            (a == "--since" ? o.filter.nSinceMs : o.filter.nUntilMs) = nMs;
        } else if (a == "--device") {
            if (!value(o.filter.strDevice)) {
                return false;
            }
        } else if (a == "--station") {
            if (!value(o.filter.strStation)) {
                return false;
            }
        } else if (a == "--failed") {
            o.filter.bFailedOnly = true;
        } else if (a == "--image") {
            if (!value(v)) {
                return false;
            }
            if (v.size() < 8 || v.size() > 64 ||
                v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                error = "--image: '" + v + "' is not a SHA-256 (8 to 64 hex digits)";
                return false;
            }
            o.filter.strImageSha = v;
        } else if (a == "--limit") {
            int64_t n = 0;
            if (!number(n)) {
                return false;
            }
            o.filter.nLimit = static_cast<int>(std::min<int64_t>(n, 1000000000));
        } else if (a == "--all-programs") {
            o.bAllPrograms = true;
        } else if (a == "--json" || a == "--csv") {
            if (o.format != OutputFormat::Table) {
                error = "--json and --csv exclude each other";
                return false;
            }
            o.format = a == "--json" ? OutputFormat::Json : OutputFormat::Csv;
        } else if (a == "--by-slot" || a == "--by-station" || a == "--log") {
            if (o.mode != QueryMode::List) {
                error = "--by-slot, --by-station and --log exclude each other";
                return false;
            }
            if (a == "--log") {
                o.mode = QueryMode::Log;
                if (!number(o.nLogId)) {
                    return false;
                }
            } else {
                o.mode = a == "--by-slot" ? QueryMode::BySlot : QueryMode::ByStation;
            }
        } else {
            error = "history: unknown option '" + a + "'";
            return false;
        }
    }
    if (o.filter.nSinceMs >= 0 && o.filter.nUntilMs >= 0 &&
        o.filter.nUntilMs <= o.filter.nSinceMs) {
        error = "--until is not after --since";
        return false;
    }
    return true;
}

namespace {

// What waits in the spool goes first, so that the answer includes it.
void SendSpooled(const HistoryConfig& config, std::FILE* err) {
    if (!QFileInfo::exists(QString::fromStdString(config.strSpoolPath))) {
        return;
    }
    RecorderOptions options;
    options.target = config.target;
    options.strSpoolPath = config.strSpoolPath;
    options.fnNotice = [err](const std::string& text) { std::fprintf(err, "%s\n", text.c_str()); };
    CHistoryWriter writer(options);
    writer.Replay(true);
    writer.Finish();
}

std::string PlainLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

int RunHistoryCommand(const HistoryProgram& program, const std::vector<std::string>& args,
                      std::FILE* out, std::FILE* err) {
    HistoryQueryOptions o;
    std::string error;
    if (!ParseHistoryQuery(args, o, error)) {
        std::fprintf(err, "%s: %s\n%s", program.pszCli, error.c_str(),
                     HistoryUsage(program).c_str());
        return 2;
    }
    if (o.bHelp) {
        std::fputs(HistoryUsage(program).c_str(), out);
        return 0;
    }
    HistoryConfig config;
    if (!ResolveHistoryConfig(program, o.strUrl, o.strSettings, config, error)) {
        std::fprintf(err, "%s: %s\n", program.pszCli, error.c_str());
        return 2;
    }
    if (config.target.IsOff()) {
        std::fprintf(err, "%s: the history is off (History/Database = off)\n", program.pszCli);
        return 1;
    }
    SendSpooled(config, err);
    CHistoryStore store;
    if (!store.Open(config.target, error)) {
        std::fprintf(err, "%s: cannot read the history %s: %s\n", program.pszCli,
                     config.target.Display().c_str(), error.c_str());
        return 1;
    }
    if (!o.bAllPrograms) {
        o.filter.strProgram = program.pszProgram;
    }
    std::string text;
    if (o.mode == QueryMode::Log) {
        if (!store.Log(o.nLogId, text, error)) {
            std::fprintf(err, "%s: %s\n", program.pszCli, error.c_str());
            return 1;
        }
        text = PlainLineEnds(text);
        if (!text.empty() && text.back() != '\n') {
            text += '\n';
        }
    } else if (o.mode == QueryMode::List) {
        std::vector<JobRow> rows;
        if (!store.Query(o.filter, rows, error)) {
            std::fprintf(err, "%s: %s\n", program.pszCli, error.c_str());
            return 1;
        }
        text = o.format == OutputFormat::Json  ? JobsJson(rows)
               : o.format == OutputFormat::Csv ? JobsCsv(rows)
                                               : JobsTable(rows);
    } else {
        const RateGroup group =
            o.mode == QueryMode::ByStation ? RateGroup::Station : program.bySlot;
        const char* key = group == RateGroup::Slot   ? "SLOT"
                          : group == RateGroup::Port ? "PORT"
                                                     : "STATION";
        std::vector<RateRow> rows;
        if (!store.Rates(o.filter, group, rows, error)) {
            std::fprintf(err, "%s: %s\n", program.pszCli, error.c_str());
            return 1;
        }
        const std::vector<RateVerdict> rates = JudgeRates(rows);
        text = o.format == OutputFormat::Json  ? RatesJson(rates, key)
               : o.format == OutputFormat::Csv ? RatesCsv(rates, key)
                                               : RatesTable(rates, key);
    }
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    return 0;
}

}  // namespace history
