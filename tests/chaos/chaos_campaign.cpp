// The chaos campaign: seeded runs of the command-line tools against hostile
// simulated handsets, each checked for the invariants a run must keep
// whatever the handset does. One line a run; a run that breaks an invariant
// says why and how to repeat it alone.
//
//   chaos_campaign oriel --first SEED --runs N [--jobs J]
//   chaos_campaign fleet --first SEED --runs N --handsets H [--jobs J]
//   chaos_campaign oriel|fleet --seed SEED [--seed SEED...] [--handsets H] [--keep]
//       (those runs alone; --keep keeps their folders and shows their commands)
//
// Exit status: 0 when every run kept every invariant, 1 otherwise, 2 usage.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/chaos/fleet_chaos_run.h"
#include "tests/chaos/oriel_chaos_run.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: chaos_campaign oriel|fleet --first SEED --runs N [--handsets H] "
                 "[--jobs J]\n"
                 "       chaos_campaign oriel|fleet --seed SEED [--seed SEED...] [--handsets H] "
                 "[--keep]\n");
    return 2;
}

bool Number(const char* text, uint64_t& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *text != '\0' && *end == '\0';
}

std::string SelfPath(const char* argv0) {
    char buf[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string(argv0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::string kind = argv[1];
    if (kind != "oriel" && kind != "fleet") {
        return Usage();
    }
    uint64_t first = 1;
    uint64_t runs = 1;
    std::vector<uint64_t> seeds;  // --seed: these alone
    uint64_t handsets = 8;
    uint64_t jobs = 1;
    bool bKeep = false;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool bValue = i + 1 < argc;
        if (a == "--keep") {
            bKeep = true;
        } else if (a == "--seed" && bValue && Number(argv[++i], first)) {
            seeds.push_back(first);
        } else if (a == "--first" && bValue && Number(argv[++i], first)) {
        } else if (a == "--runs" && bValue && Number(argv[++i], runs) && runs > 0) {
        } else if (a == "--handsets" && bValue && Number(argv[++i], handsets) && handsets >= 1 &&
                   handsets <= 8) {
        } else if (a == "--jobs" && bValue && Number(argv[++i], jobs) && jobs >= 1) {
        } else {
            return Usage();
        }
    }
    if (seeds.empty()) {
        for (uint64_t k = 0; k < runs; ++k) {
            seeds.push_back(first + k);
        }
    }
    runs = seeds.size();
    const chaos::Programs programs{ORIEL_CLI_PATH, ORIEL_HANDSET_SIM_PATH, FLEET_CLI_PATH,
                                   FLEET_HANDSET_SIM_PATH};
    const std::string self = SelfPath(argv[0]);
    const auto started = std::chrono::steady_clock::now();

    std::mutex printLock;
    std::atomic<uint64_t> next{0};
    int nFailed = 0;
    int nFaults = 0;
    auto worker = [&] {
        for (uint64_t k = next++; k < runs; k = next++) {
            const uint64_t seed = seeds[k];
            const chaos::Verdict v =
                kind == "oriel"
                    ? chaos::RunOriel(programs, seed, bKeep)
                    : chaos::RunFleet(programs, seed, static_cast<int>(handsets), bKeep);
            std::lock_guard<std::mutex> lock(printLock);
            nFaults += v.nFaults;
            std::printf("%s seed %llu: %s: %s: %s\n", kind.c_str(),
                        static_cast<unsigned long long>(seed), v.strWhat.c_str(),
                        v.strOutcome.c_str(), v.Ok() ? "ok" : "FAILED");
            if (!v.Ok() || bKeep) {
                for (const std::string& why : v.failures) {
                    std::printf("    %s\n", why.c_str());
                }
                for (const std::string& command : v.commands) {
                    std::printf("    ran: %s\n", command.c_str());
                }
            }
            if (!v.Ok()) {
                ++nFailed;
                std::printf(
                    "    reproduce: %s %s --seed %llu%s --keep\n", self.c_str(), kind.c_str(),
                    static_cast<unsigned long long>(seed),
                    kind == "fleet" ? (" --handsets " + std::to_string(handsets)).c_str() : "");
            }
            std::fflush(stdout);
        }
    };
    std::vector<std::thread> threads;
    for (uint64_t j = 0; j < jobs; ++j) {
        threads.emplace_back(worker);
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: %llu run%s, %d fault%s committed, %d failed, %.0f s\n", kind.c_str(),
                static_cast<unsigned long long>(runs), runs == 1 ? "" : "s", nFaults,
                nFaults == 1 ? "" : "s", nFailed, seconds);
    return nFailed == 0 ? 0 : 1;
}
