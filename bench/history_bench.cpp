// What the flash history costs, each figure beside its limit:
//   - an eight-handset batch of the packed fleet_cli with the history off and
//     on, runs alternating: the difference of the medians against the spread
//     the runs of one kind show anyway (the protocol's random staggering);
//   - the window thread's share of recording one job (building the record and
//     handing it to the writer thread);
//   - queries over 100,000 recorded jobs: the newest 100, a device, an
//     image, the pass rates per slot, all of them, and "fleet_cli history
//     --by-slot" as a whole program.
// history_bench [--runs N] [--records N] [--no-batch] [--url DATABASE_URL]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QSqlError>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/history/db_connection.h"
#include "platform/history/history_recorder.h"
#include "platform/history/history_schema.h"
#include "platform/history/history_store.h"
#include "sim/fleet/fleet_handset.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Seconds(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Runs a program to its end, its output into a file; the exit status.
int Run(const std::vector<std::string>& argv, const std::string& outPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty()      ? 0
           : v.size() % 2 ? v[v.size() / 2]
                          : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

const char* Verdict(bool bWithin) {
    return bWithin ? "ok" : "OUTSIDE THE LIMIT";
}

// --- the batch -------------------------------------------------------------

bool Batch(const std::string& dir, const std::string& history, double& wall) {
    fleetsim::FleetCommandLine sim;
    std::string error;
    fs::remove_all(dir + "/dev");
    fs::remove_all(dir + "/store");
    if (!fleetsim::ParseFleetCommandLine(
            {"--dir", dir + "/dev", "--count", "8", "--store", dir + "/store"}, sim, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    fleetsim::CHandsetFleet fleet(sim.options);
    if (!fleet.Start(error)) {
        std::fprintf(stderr, "simulated handsets: %s\n", error.c_str());
        return false;
    }
    const Clock::time_point t0 = Clock::now();
    const int rc = Run(
        {dir + "/line_tool", "--watch", dir + "/dev", "--count", "8", "--container",
         "--phone-image", dir + "/phone.bin", "--phone", "--timeout", "300", "--history", history},
        dir + "/line.out");
    wall = Seconds(t0);
    fleet.Stop();
    if (rc != 0) {
        std::fprintf(stderr, "the batch failed (%d); see %s/line.out\n", rc, dir.c_str());
        return false;
    }
    return true;
}

bool BatchFigures(const std::string& dir, int nRuns) {
    const bool bBuilt =
        Run({FLEET_MKIMG_PATH, "b000ff", "--out", dir + "/pda.bin", "--records", "40", "--seed",
             "3"},
            dir + "/tool.out") == 0 &&
        Run({FLEET_MKIMG_PATH, "flat", "--out", dir + "/eboot.nb0", "--size", "196608", "--seed",
             "4"},
            dir + "/tool.out") == 0 &&
        Run({FLEET_MKIMG_PATH, "flat", "--out", dir + "/phone.bin", "--size", "1400000", "--seed",
             "5"},
            dir + "/tool.out") == 0 &&
        Run({FLEET_PACK_PATH, "--program", FLEET_CLI_PATH, "--eboot", dir + "/eboot.nb0", "--pda",
             dir + "/pda.bin", "--profile", "2", "--out", dir + "/line_tool"},
            dir + "/tool.out") == 0;
    if (!bBuilt) {
        std::fprintf(stderr, "the images or the line tool could not be made\n");
        return false;
    }
    std::vector<double> off;
    std::vector<double> on;
    for (int i = 0; i < nRuns; ++i) {
        double wall = 0;
        if (!Batch(dir, "off", wall)) {
            return false;
        }
        off.push_back(wall);
        if (!Batch(dir, dir + "/batch_history.sqlite", wall)) {
            return false;
        }
        on.push_back(wall);
        std::printf("  run %d: history off %.2f s, on %.2f s\n", i + 1, off.back(), on.back());
        std::fflush(stdout);
    }
    auto spread = [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
    };
    const double noise = std::max(spread(off), spread(on));
    const double diff = Median(on) - Median(off);
    std::error_code ec;
    std::printf(
        "batch of 8 (%.1f MB PDA image, 1.4 MB modem image): median %.2f s off, %.2f s on: "
        "difference %+.2f s; limit: within the runs' own spread, %.2f s: %s\n",
        static_cast<double>(fs::file_size(dir + "/pda.bin", ec)) / 1e6, Median(off), Median(on),
        diff, noise, Verdict(std::abs(diff) <= noise));
    return true;
}

// --- the window thread's share ---------------------------------------------

history::JobRecord SampleJob(int i, const std::string& image) {
    history::JobRecord r;
    r.strUid = history::NewJobUid();
    r.nStartMs = 1767607200000 + static_cast<int64_t>(i) * 45000;
    r.nEndMs = r.nStartMs + 41000;
    r.strStation = "line-" + std::to_string(i % 10 + 1);
    r.strProgram = "fleet_downloader";
    r.strVersion = "0.3";
    r.strFrontEnd = history::kFrontEndCommandLine;
    r.nSlot = i % 8 + 1;
    r.strPort = "/dev/ttyACM" + std::to_string(r.nSlot);
    r.strDevice = "usb-Vendor_Handset_" + std::to_string(100000 + i);
    r.strUsbSerial = std::to_string(100000 + i);
    r.strOperation = "download eboot+pda+phone";
    r.strProfile = "MTX-Juniper";
    r.bCompleted = i % 20 != 0 || r.nSlot == 4;
    if (!r.bCompleted) {
        r.strFailureCode = "213";
        r.strFailureText = "Checksum failed!!";
    }
    r.nBytes = 17000000;
    r.strLog = std::string(1000, 'x') + "\r\nDownloading finished...\r\n";
    if (!image.empty()) {
        r.images = {history::SeenImage("eboot", image), history::SeenImage("pda", image),
                    history::SeenImage("phone", image)};
    }
    return r;
}

void WindowThreadFigure(const std::string& dir) {
    history::RecorderOptions o;
    std::string error;
    history::ParseHistoryTarget(dir + "/submit.sqlite", o.target, error);
    o.strSpoolPath = dir + "/spool.sqlite";
    history::CHistoryRecorder recorder(o);
    const std::string image = dir + "/image.bin";
    {
        std::FILE* f = std::fopen(image.c_str(), "wb");
        const std::vector<char> bytes(1 << 20, 'x');
        if (f != nullptr) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }
    constexpr int kJobs = 2000;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < kJobs; ++i) {
        recorder.Submit(SampleJob(i, image));
    }
    const double perJob = Seconds(t0) / kJobs;
    const Clock::time_point t1 = Clock::now();
    recorder.Flush(std::chrono::minutes(10));
    const double writer = Seconds(t1);
    std::printf(
        "recording a job on the window thread (record with 3 images, handed over): %.1f us; limit "
        "1000 us: %s  (the writer thread then wrote %d jobs in %.2f s more)\n",
        perJob * 1e6, Verdict(perJob < 1e-3), kJobs, writer);
}

// --- queries over 100,000 jobs ---------------------------------------------

// Writes nRecords jobs in one transaction (the programs write one at a time;
// this only fills the database).
bool Fill(const history::HistoryTarget& target, int nRecords, std::string& error) {
    history::CDbConnection db("bench");
    if (!db.Open(target, error) || !history::EnsureSchema(db, error)) {
        return false;
    }
    const bool bPg = db.IsPostgres();
    if (!bPg) {
        db.ExecPlain(QStringLiteral("PRAGMA synchronous = OFF"), error);
    }
    if (!db.ExecPlain(QStringLiteral("BEGIN"), error)) {
        return false;
    }
    QSqlQuery job(db.Db());
    QSqlQuery image(db.Db());
    QSqlQuery log(db.Db());
    job.prepare(
        QStringLiteral(
            "INSERT INTO jobs (job_uid, started_at, ended_at, station, program, version, "
            "front_end, "
            "port, slot, device, usb_serial, flash_id, operation, profile, result, failure_code, "
            "failure_text, bytes) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)") +
        (bPg ? QStringLiteral(" RETURNING id") : QString()));
    image.prepare(
        QStringLiteral("INSERT INTO job_images (job_id, position, role, path, size, "
                       "crc32, sha256, note) VALUES (?, ?, ?, ?, ?, ?, ?, '')"));
    log.prepare(QStringLiteral("INSERT INTO job_logs (job_id, log) VALUES (?, ?)"));
    for (int i = 0; i < nRecords; ++i) {
        const history::JobRecord r = SampleJob(i, {});
        int nIndex = 0;
        for (const QVariant& v : QVariantList{
                 QString::fromStdString(r.strUid),
                 QString::fromStdString(history::FormatUtc(r.nStartMs)),
                 QString::fromStdString(history::FormatUtc(r.nEndMs)),
                 QString::fromStdString(r.strStation), QString::fromStdString(r.strProgram),
                 QString::fromStdString(r.strVersion), QString::fromStdString(r.strFrontEnd),
                 QString::fromStdString(r.strPort), r.nSlot, QString::fromStdString(r.strDevice),
                 QString::fromStdString(r.strUsbSerial), QStringLiteral(""),
                 QString::fromStdString(r.strOperation), QString::fromStdString(r.strProfile),
                 QString::fromLatin1(r.bCompleted ? "completed" : "failed"),
                 QString::fromStdString(r.strFailureCode), QString::fromStdString(r.strFailureText),
                 static_cast<qlonglong>(r.nBytes)}) {
            job.bindValue(nIndex++, v);
        }
        if (!job.exec()) {
            error = job.lastError().text().toStdString();
            return false;
        }
        qlonglong id = 0;
        if (bPg) {
            job.next();
            id = job.value(0).toLongLong();
        } else {
            id = job.lastInsertId().toLongLong();
        }
        // Ten releases of the images over the run.
        const int release = i * 10 / std::max(nRecords, 1);
        int position = 0;
        for (const char* role : {"eboot", "pda", "phone"}) {
            const QVariantList values{
                id,
                ++position,
                QLatin1String(role),
                QStringLiteral("/srv/images/r%1/%2.bin").arg(release).arg(QLatin1String(role)),
                1000000 + position,
                QStringLiteral("%1").arg(release * 16 + position, 8, 16, QLatin1Char('0')),
                QStringLiteral("%1").arg(release * 16 + position, 64, 16, QLatin1Char('0'))};
            for (int k = 0; k < values.size(); ++k) {
                image.bindValue(k, values[k]);
            }
            if (!image.exec()) {
                error = image.lastError().text().toStdString();
                return false;
            }
        }
        log.bindValue(0, id);
        log.bindValue(1, QString::fromStdString(r.strLog));
        if (!log.exec()) {
            error = log.lastError().text().toStdString();
            return false;
        }
    }
    return db.ExecPlain(QStringLiteral("COMMIT"), error);
}

// The best of three.
template <class F>
double Best(F&& f) {
    double best = 1e18;
    for (int i = 0; i < 3; ++i) {
        const Clock::time_point t0 = Clock::now();
        f();
        best = std::min(best, Seconds(t0));
    }
    return best;
}

bool QueryFigures(const std::string& dir, const std::string& url, int nRecords) {
    history::HistoryTarget target;
    std::string error;
    if (!history::ParseHistoryTarget(url.empty() ? dir + "/query.sqlite" : url, target, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    const Clock::time_point t0 = Clock::now();
    if (!Fill(target, nRecords, error)) {
        std::fprintf(stderr, "filling %s: %s\n", target.Display().c_str(), error.c_str());
        return false;
    }
    std::printf("%d jobs written to %s in %.1f s (one transaction)\n", nRecords,
                target.Display().c_str(), Seconds(t0));
    history::CHistoryStore store;
    if (!store.Open(target, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    std::vector<history::JobRow> rows;
    std::vector<history::RateRow> rates;
    size_t nFound = 0;
    auto line = [](const char* what, double s, double limit, size_t n) {
        std::printf("  %-44s %7.3f s (%zu rows); limit %.1f s: %s\n", what, s, n, limit,
                    Verdict(s <= limit));
    };
    history::HistoryFilter f;
    f.strProgram = "fleet_downloader";
    f.nLimit = 100;
    double s = Best([&] { store.Query(f, rows, error); });
    line("the newest 100 jobs", s, 0.1, rows.size());
    f.nLimit = 0;
    f.strDevice = "handset_1777";
    s = Best([&] { store.Query(f, rows, error); });
    line("one device (part of its name)", s, 1.0, rows.size());
    f.strDevice.clear();
    f.strImageSha = QStringLiteral("%1").arg(5 * 16 + 2, 64, 16, QLatin1Char('0')).toStdString();
    s = Best([&] { store.Query(f, rows, error); });
    nFound = rows.size();
    line("one image (its SHA-256)", s, 1.0, nFound);
    f.strImageSha.clear();
    f.bFailedOnly = true;
    s = Best([&] { store.Query(f, rows, error); });
    line("the failed jobs", s, 1.0, rows.size());
    f.bFailedOnly = false;
    s = Best([&] { store.Rates(f, history::RateGroup::Slot, rates, error); });
    line("pass rates per slot", s, 0.5, rates.size());
    s = Best([&] { store.Query(f, rows, error); });
    line("all jobs, with their images", s, 5.0, rows.size());
    const std::string out = dir + "/query.out";
    s = Best([&] {
        Run({FLEET_CLI_PATH, "history", "--history", target.strUrl, "--by-slot"}, out);
    });
    line("fleet_cli history --by-slot (the program)", s, 1.0, 8);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int nRuns = 3;
    int nRecords = 100000;
    bool bBatch = true;
    std::string url;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--runs" && v != nullptr) {
            nRuns = std::max(1, std::atoi(v));
            ++i;
        } else if (a == "--records" && v != nullptr) {
            nRecords = std::max(1, std::atoi(v));
            ++i;
        } else if (a == "--url" && v != nullptr) {
            url = v;
            ++i;
        } else if (a == "--no-batch") {
            bBatch = false;
        } else {
            std::fprintf(
                stderr, "usage: history_bench [--runs N] [--records N] [--no-batch] [--url URL]\n");
            return 2;
        }
    }
    char templ[] = "/tmp/history_bench.XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = templ;
    // The programs' spool and settings are the bench's own.
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    bool bOk = true;
    if (bBatch) {
        bOk = BatchFigures(dir, nRuns);
    }
    WindowThreadFigure(dir);
    bOk = bOk && QueryFigures(dir, url, nRecords);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return bOk ? 0 : 1;
}
