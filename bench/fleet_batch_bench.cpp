// Times whole batches of the product: a packed fleet_cli serving first one,
// then N simulated handsets (fleet_handset_sim, paced like USB full speed),
// both as child processes. Prints each batch's wall time and throughput (the
// bytes the handsets' stores hold: EBOOT, the B000FF image, the modem's code
// area), the N-slot batch's aggregate against N times one slot, each slot's
// job without its staggered waits against a lone slot's (what the host must
// not slow down), and the fleet_cli process's peak memory (its VmHWM) and
// CPU time per written MB (from wait4).
// Each batch must end with exit status 0 and every store equal to its image,
// or the figures mean nothing and the bench fails.
//
//   fleet_batch_bench [--slots N] [--pace BYTES_PER_S] [--pda-mb N] [--phone-kb N] [--runs N]
//
// Exit status: 0 every figure within its limit, 1 a batch failed, 2 usage,
// 3 a figure outside its limit.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fleet/images/platform_profile.h"
#include "fleet/pda/b000ff_stream.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kProfileRow = 2;  // MTX-Juniper: the modem's code area starts at 0xE4000
constexpr int kBoardSlots = 8;
constexpr double kRatioTarget = 0.95;
// The program, its libraries and the phone image, apart from the slots.
constexpr double kBaseMemoryMb = 16.0;
constexpr int kBatchTimeoutS = 900;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds(const rusage& ru) {
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string Tail(const std::string& path, size_t nBytes) {
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, bytes)) {
        return {};
    }
    const size_t from = bytes.size() > nBytes ? bytes.size() - nBytes : 0;
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
}

// A child with its stdout on a pipe (read here) and its stderr in a file.
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string buffered;
};

bool Spawn(const std::vector<std::string>& argv, const std::string& errPath, Child& child) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const int rc = posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", args[0], std::strerror(rc));
        close(fds[0]);
        return false;
    }
    child.out = fds[0];
    return true;
}

// Complete lines the child wrote, each with the time it was read; false at
// the end of its output or when the deadline passed.
bool ReadLines(Child& child, Clock::time_point deadline,
               std::vector<std::pair<Clock::time_point, std::string>>& lines) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{child.out, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        if (n <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = read(child.out, chunk, sizeof chunk);
        if (got <= 0) {
            return false;
        }
        const auto at = Clock::now();
        child.buffered.append(chunk, static_cast<size_t>(got));
        size_t eol = 0;
        bool bAny = false;
        while ((eol = child.buffered.find('\n')) != std::string::npos) {
            lines.emplace_back(at, child.buffered.substr(0, eol));
            child.buffered.erase(0, eol + 1);
            bAny = true;
        }
        if (bAny) {
            return true;
        }
    }
}

struct Images {
    std::string dir;
    std::string tool;  // the packed fleet_cli
    std::string phonePath;
    std::vector<uint8_t> eboot, pda, phone;
    uint32_t codeStart = 0;
};

// One slot as fleet_cli's events tell it, times from fleet_cli's start.
struct SlotTimes {
    double start = -1;  // the worker's start (event 0)
    double end = -1;
    // The two waits that grow with the slot's stagger k: 202 to the first
    // 209 (1 s + 200 ms x k before EBOOT) and the last 204 to the first 316
    // (1 s + 600 ms x k before the B000FF stream).
    double ebootStagger = -1, stagger = -1;
    double streamStart = -1, streamEnd = -1;  // first 316, last event of any part
    double blocksStart = -1, blocksEnd = -1;  // first and last 312
    double last202 = -1, last204 = -1;
    bool bStarted = false;
    bool bFailed = false;
    // The job without its staggered waits: what the host and the handset
    // take, the same for every k.
    double Unstaggered() const { return end - start - ebootStagger - stagger; }
};

// The peak resident size of a running process, in KB (0 once it has ended).
// Not wait4's ru_maxrss: that keeps the high-water mark of the memory the
// child shared with this process before its exec, this bench's images.
long PeakRssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long kb = 0;
    while (in >> key) {
        if (key == "VmHWM:") {
            in >> kb;
            return kb;
        }
        in.ignore(1 << 12, '\n');
    }
    return 0;
}

struct Batch {
    bool bOk = false;
    double wall = 0;
    double bytes = 0;    // what the stores hold, all handsets
    long peakRssKb = 0;  // fleet_cli's, sampled as its events come
    rusage cli{};
    rusage sim{};
    std::vector<SlotTimes> slots;
};

// The events of --json: {"slot":S,"code":C,"text":...,"state":"...",...}.
void TakeEvent(const std::string& line, double at, std::vector<SlotTimes>& slots) {
    int slot = 0;
    unsigned code = 0;
    if (std::sscanf(line.c_str(), "{\"slot\":%d,\"code\":%u", &slot, &code) != 2 || slot < 1 ||
        slot > static_cast<int>(slots.size())) {
        return;
    }
    SlotTimes& t = slots[static_cast<size_t>(slot - 1)];
    const size_t state = line.rfind("\"state\":\"");
    const std::string st = state == std::string::npos ? "" : line.substr(state + 9, 8);
    t.bStarted = t.bStarted || code == 200;
    if (code == 0 && t.start < 0) {
        t.start = at;
    } else if (code == 202) {
        t.last202 = at;
    } else if (code == 209 && t.ebootStagger < 0 && t.last202 >= 0) {
        t.ebootStagger = at - t.last202;
    } else if (code == 204) {
        t.last204 = at;
    } else if ((code >= 316 && code <= 321) || (code == 215 && t.streamStart >= 0)) {
        // The parts of the B000FF stream: 316 the first, 317-320 and 215 the
        // middle ones, 321 the last.
        if (t.streamStart < 0 && code == 316) {
            t.streamStart = at;
            t.stagger = t.last204 >= 0 ? at - t.last204 : -1;
        }
        t.streamEnd = at;
    } else if (code == 312) {
        if (t.blocksStart < 0) {
            t.blocksStart = at;
        }
        t.blocksEnd = at;
    }
    if ((st.starts_with("finished") || st.starts_with("failed")) && t.end < 0) {
        t.end = at;
        t.bFailed = st.starts_with("failed");
    }
}

bool SameBytes(const std::string& path, const uint8_t* pBegin, size_t n, const char* what,
               const std::string& serial) {
    std::vector<uint8_t> got;
    if (!ReadFile(path, got) || got.size() != n || !std::equal(got.begin(), got.end(), pBegin)) {
        std::fprintf(stderr, "handset %s: %s holds %zu bytes, not the %zu of the image\n",
                     serial.c_str(), what, got.size(), n);
        return false;
    }
    return true;
}

// Every handset's store equals the images; the bytes they hold.
bool CheckStores(const std::string& store, int nSlots, const Images& im, double& bytes) {
    int handsets = 0;
    bytes = 0;
    char areaName[32];
    std::snprintf(areaName, sizeof areaName, "%08X.bin", im.codeStart);
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(store, ec)) {
        const std::string serial = e.path().filename().string();
        const std::string d = e.path().string();
        const size_t area = im.phone.size() - im.codeStart;
        if (!SameBytes(d + "/eboot.bin", im.eboot.data(), im.eboot.size(), "eboot.bin", serial) ||
            !SameBytes(d + "/pda_flash.bin", im.pda.data(), im.pda.size(), "pda_flash.bin",
                       serial) ||
            !SameBytes(d + "/modem/" + areaName, im.phone.data() + im.codeStart, area, areaName,
                       serial)) {
            return false;
        }
        size_t areas = 0;
        for ([[maybe_unused]] const fs::directory_entry& m :
             fs::directory_iterator(d + "/modem", ec)) {
            ++areas;
        }
        if (areas != 1) {
            std::fprintf(stderr, "handset %s: %zu modem areas written, not 1\n", serial.c_str(),
                         areas);
            return false;
        }
        bytes += static_cast<double>(im.eboot.size() + im.pda.size() + area);
        ++handsets;
    }
    if (handsets != nSlots) {
        std::fprintf(stderr, "%d handsets have a store, not %d\n", handsets, nSlots);
        return false;
    }
    return true;
}

Batch RunBatch(const Images& im, int nSlots, uint64_t nPace) {
    Batch b;
    const std::string dev = im.dir + "/dev";
    const std::string store = im.dir + "/store";
    fs::remove_all(dev);
    fs::remove_all(store);
    fs::create_directories(dev);

    Child sim;
    const std::string simErr = im.dir + "/sim.err";
    if (!Spawn({FLEET_HANDSET_SIM_PATH, "--dir", dev, "--count", std::to_string(nSlots), "--store",
                store, "--pace", std::to_string(nPace)},
               simErr, sim)) {
        return b;
    }
    std::vector<std::pair<Clock::time_point, std::string>> simLines;
    const std::string ready = "ready " + std::to_string(nSlots);
    bool bReady = false;
    while (!bReady && ReadLines(sim, Clock::now() + std::chrono::seconds(20), simLines)) {
        for (const auto& l : simLines) {
            bReady = bReady || l.second == ready;
        }
    }
    if (!bReady) {
        std::fprintf(stderr, "the simulator did not get ready:\n%s\n", Tail(simErr, 2000).c_str());
        kill(sim.pid, SIGKILL);
        waitpid(sim.pid, nullptr, 0);
        close(sim.out);
        return b;
    }

    Child cli;
    const std::string cliErr = im.dir + "/cli.err";
    const auto started = Clock::now();
    bool bStarted = Spawn({im.tool, "--watch", dev, "--slots", std::to_string(nSlots), "--count",
                           std::to_string(nSlots), "--container", "--phone-image", im.phonePath,
                           "--phone", "--timeout", std::to_string(kBatchTimeoutS), "--json"},
                          cliErr, cli);
    int status = -1;
    std::string lastLines;
    if (bStarted) {
        b.slots.assign(static_cast<size_t>(nSlots), SlotTimes{});
        std::vector<std::pair<Clock::time_point, std::string>> lines;
        const auto deadline = started + std::chrono::seconds(kBatchTimeoutS + 30);
        while (ReadLines(cli, deadline, lines)) {
            b.peakRssKb = std::max(b.peakRssKb, PeakRssKb(cli.pid));
            for (const auto& l : lines) {
                TakeEvent(l.second, Seconds(l.first - started), b.slots);
                lastLines += l.second + "\n";
                if (lastLines.size() > 4000) {
                    lastLines.erase(0, lastLines.size() - 4000);
                }
            }
            lines.clear();
        }
        if (Clock::now() > deadline) {
            kill(cli.pid, SIGKILL);
        }
        wait4(cli.pid, &status, 0, &b.cli);
        b.wall = Seconds(Clock::now() - started);
        close(cli.out);
    }
    kill(sim.pid, SIGTERM);
    wait4(sim.pid, nullptr, 0, &b.sim);
    close(sim.out);
    if (!bStarted) {
        return b;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr,
                     "fleet_cli ended with status %d (signal %d); its last lines:\n%s\n"
                     "its errors:\n%s\nthe simulator's:\n%s\n",
                     WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                     WIFSIGNALED(status) ? WTERMSIG(status) : 0, lastLines.c_str(),
                     Tail(cliErr, 2000).c_str(), Tail(simErr, 2000).c_str());
        return b;
    }
    for (size_t s = 0; s < b.slots.size(); ++s) {
        const SlotTimes& t = b.slots[s];
        if (!t.bStarted || t.start < 0 || t.end < 0 || t.bFailed || t.stagger < 0 ||
            t.ebootStagger < 0 || t.blocksStart < 0) {
            std::fprintf(stderr, "slot %zu did not finish:\n%s\n", s + 1, lastLines.c_str());
            return b;
        }
    }
    b.bOk = CheckStores(store, nSlots, im, b.bytes);
    return b;
}

bool RunTool(const std::vector<std::string>& argv, const std::string& dir) {
    Child c;
    const std::string err = dir + "/tool.err";
    if (!Spawn(argv, err, c)) {
        return false;
    }
    std::vector<std::pair<Clock::time_point, std::string>> lines;
    while (ReadLines(c, Clock::now() + std::chrono::seconds(120), lines)) {
    }
    close(c.out);
    int status = -1;
    waitpid(c.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed:\n%s\n", argv[0].c_str(), Tail(err, 2000).c_str());
        return false;
    }
    return true;
}

Batch Best(const Images& im, int nSlots, uint64_t nPace, int nRuns, long& maxRssKb) {
    Batch best;
    for (int run = 0; run < nRuns; ++run) {
        Batch b = RunBatch(im, nSlots, nPace);
        if (!b.bOk) {
            return b;
        }
        maxRssKb = std::max(maxRssKb, b.peakRssKb);
        if (!best.bOk || b.wall < best.wall) {
            best = b;
        }
    }
    return best;
}

const char* Verdict(bool bWithin) {
    return bWithin ? "ok" : "OUTSIDE THE LIMIT";
}

struct Spread {
    double lo = 1e18, hi = -1e18;
    void Add(double v) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
};

// Where a batch's time went, slot by slot: the staggered start of the
// B000FF stream, the stream and the modem's blocks at their rates, the ends.
void PrintWhere(const Batch& b, const Images& im) {
    Spread start, stagger, stream, blocks, end;
    for (const SlotTimes& t : b.slots) {
        start.Add(t.start);
        stagger.Add(t.ebootStagger + t.stagger);
        stream.Add(t.streamEnd - t.streamStart);
        blocks.Add(t.blocksEnd - t.blocksStart);
        end.Add(t.end);
    }
    const double pda = static_cast<double>(im.pda.size());
    const double area = static_cast<double>(im.phone.size() - im.codeStart);
    std::printf(
        "    per slot: started %.2f-%.2f s; staggered waits %.2f-%.2f s; B000FF stream %.2f-%.2f s "
        "(%.0f-%.0f KB/s); modem blocks %.2f-%.2f s (%.0f-%.0f KB/s); ended %.2f-%.2f s after "
        "fleet_cli started\n",
        start.lo, start.hi, stagger.lo, stagger.hi, stream.lo, stream.hi, pda / stream.hi / 1e3,
        pda / stream.lo / 1e3, blocks.lo, blocks.hi, area / blocks.hi / 1e3, area / blocks.lo / 1e3,
        end.lo, end.hi);
}

}  // namespace

int main(int argc, char** argv) {
    int nSlots = kBoardSlots;
    uint64_t pace = 1000000;
    double pdaMb = 16.0;
    double phoneKb = 512;
    int runs = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--slots" && v) {
            nSlots = std::clamp(std::atoi(v), 1, kBoardSlots);
        } else if (a == "--pace" && v) {
            pace = std::max<uint64_t>(1000, std::strtoull(v, nullptr, 10));
        } else if (a == "--pda-mb" && v) {
            pdaMb = std::max(0.2, std::atof(v));
        } else if (a == "--phone-kb" && v) {
            phoneKb = std::max(1.0, std::atof(v));
        } else if (a == "--runs" && v) {
            runs = std::max(1, std::atoi(v));
        } else {
            std::fprintf(stderr,
                         "usage: fleet_batch_bench [--slots N] [--pace BYTES_PER_S] [--pda-mb N] "
                         "[--phone-kb N] [--runs N]\n");
            return 2;
        }
        ++i;
    }

    char templ[] = "/tmp/fleet_batch_bench.XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    Images im;
    im.dir = templ;
    im.tool = im.dir + "/line_tool";
    im.phonePath = im.dir + "/phone.bin";
    const fleet::PlatformProfile profile = fleet::BuildPlatformProfiles()[kProfileRow];
    im.codeStart = profile.phoneAreas[1].m_dwStartAddr;
    const uint32_t records = std::max<uint32_t>(1, static_cast<uint32_t>(pdaMb * 1e6 / 131596));
    const std::string ebootPath = im.dir + "/eboot.nb0";
    const std::string pdaPath = im.dir + "/pda.bin";
    const bool bBuilt =
        RunTool({FLEET_MKIMG_PATH, "flat", "--out", ebootPath, "--size",
                 std::to_string(profile.ebootLength), "--seed", "1"},
                im.dir) &&
        RunTool({FLEET_MKIMG_PATH, "b000ff", "--out", pdaPath, "--records", std::to_string(records),
                 "--last", "5000", "--seed", "2"},
                im.dir) &&
        RunTool(
            {FLEET_MKIMG_PATH, "flat", "--out", im.phonePath, "--size",
             std::to_string(im.codeStart + static_cast<uint32_t>(phoneKb) * 1024), "--seed", "3"},
            im.dir) &&
        RunTool({FLEET_PACK_PATH, "--program", FLEET_CLI_PATH, "--eboot", ebootPath, "--pda",
                 pdaPath, "--profile", std::to_string(kProfileRow), "--out", im.tool},
                im.dir) &&
        ReadFile(ebootPath, im.eboot) && ReadFile(pdaPath, im.pda) &&
        ReadFile(im.phonePath, im.phone);
    if (!bBuilt) {
        std::fprintf(stderr, "the images or the packed fleet_cli could not be made in %s\n",
                     im.dir.c_str());
        return 1;
    }
    const double perHandset =
        static_cast<double>(im.eboot.size() + im.pda.size() + im.phone.size() - im.codeStart);
    std::printf(
        "packed fleet_cli (container, profile %d) against fleet_handset_sim, paced at %llu "
        "bytes/s per port; protocol pauses at their real length\n"
        "per handset: EBOOT %zu KB + B000FF image %.2f MB + modem code area %zu KB from 0x%X = "
        "%.2f MB written\n"
        "load average before: %s (%ld cores)\n",
        kProfileRow, static_cast<unsigned long long>(pace), im.eboot.size() / 1024,
        static_cast<double>(im.pda.size()) / 1e6, (im.phone.size() - im.codeStart) / 1024,
        im.codeStart, perHandset / 1e6, LoadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    std::fflush(stdout);

    // Eight lines at the pace must not need more than one core.
    const double cpuLimit = 1e6 / (kBoardSlots * static_cast<double>(pace));
    // A slot reads its B000FF part through a window of its own.
    const double windowMb = static_cast<double>(fleet::kB000ffReadWindow) / (1 << 20);
    bool bWithin = true;
    double oneRate = 0;
    double oneUnstaggered = 0;
    for (const int n : {1, nSlots}) {
        long maxRssKb = 0;
        const Batch b = Best(im, n, pace, runs, maxRssKb);
        if (!b.bOk) {
            std::fprintf(stderr, "FAILED: the %d-slot batch did not finish correctly\n", n);
            return 1;
        }
        const double rate = b.bytes / b.wall;
        const double cpu = CpuSeconds(b.cli) / (b.bytes / 1e6);
        const double rssMb = static_cast<double>(maxRssKb) / 1024;
        const double rssLimit = kBaseMemoryMb + n * windowMb;
        Spread unstaggered;
        for (const SlotTimes& t : b.slots) {
            unstaggered.Add(t.Unstaggered());
        }
        std::printf("%d slot%s batch %7.2f s, %7.2f MB at %7.1f KB/s", n,
                    n == 1 ? ": " : "s:", b.wall, b.bytes / 1e6, rate / 1e3);
        if (n == 1) {
            oneRate = rate;
            oneUnstaggered = unstaggered.hi;
            std::printf("; its job without the staggered waits %.2f s\n", oneUnstaggered);
        } else {
            // The wall-clock ratio carries the protocol's spreading of the
            // starts: slot i starts 400 ms x i late and waits 800 ms x its
            // own k, the largest k of N slots against the one k of a lone
            // slot. What the host adds shows in the jobs without those waits.
            const double wallRatio = rate / (n * oneRate);
            const double hostRatio = oneUnstaggered / unstaggered.hi;
            std::printf(
                " aggregate; aggregate / (%d x one slot) %.3f, with the staggered starts\n"
                "    each slot's job without the staggered waits %.2f-%.2f s against %.2f s "
                "alone: one slot / slowest slot %.3f (target >= %.2f) %s\n",
                n, wallRatio, unstaggered.lo, unstaggered.hi, oneUnstaggered, hostRatio,
                kRatioTarget, Verdict(hostRatio >= kRatioTarget));
            bWithin = bWithin && hostRatio >= kRatioTarget;
        }
        std::printf(
            "    fleet_cli peak memory %.1f MiB (limit %.0f + %d x the %.1f MiB read window of a "
            "slot = %.1f) %s; CPU %.2f s = %.4f s per MB (limit %.4f) %s; simulator CPU %.2f s\n",
            rssMb, kBaseMemoryMb, n, windowMb, rssLimit, Verdict(rssMb <= rssLimit),
            CpuSeconds(b.cli), cpu, cpuLimit, Verdict(cpu <= cpuLimit), CpuSeconds(b.sim));
        PrintWhere(b, im);
        std::fflush(stdout);
        bWithin = bWithin && rssMb <= rssLimit && cpu <= cpuLimit;
    }
    std::printf("load average after: %s\n", LoadAverage().c_str());
    fs::remove_all(im.dir);
    return bWithin ? 0 : 3;
}
