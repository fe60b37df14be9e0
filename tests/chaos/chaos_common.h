#pragma once
// What the chaos runs share: the seeded choices, files, and a run's verdict.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace chaos {

using Bytes = std::vector<uint8_t>;

// The run's own choices, all from its seed.
class CRandom {
  public:
    explicit CRandom(uint64_t nSeed) : m_nState(nSeed * 0x9E3779B97F4A7C15ULL + 17) {}
    uint64_t Next();
    // A number in [lo, hi].
    uint32_t Range(uint32_t lo, uint32_t hi) {
        return hi <= lo ? lo : lo + static_cast<uint32_t>(Next() % (uint64_t{hi} - lo + 1));
    }
    template <typename T>
    const T& Pick(const std::vector<T>& v) {
        return v[Range(0, static_cast<uint32_t>(v.size() - 1))];
    }
    Bytes Fill(size_t n);

  private:
    uint64_t m_nState;
};

bool WriteFile(const std::string& path, const Bytes& bytes);
// Empty when the file cannot be read; bExists tells an empty file from none.
Bytes ReadFile(const std::string& path, bool* pExists = nullptr);
std::string ReadText(const std::string& path);
bool Exists(const std::string& path);
// A fresh folder under $TMPDIR (or /tmp) named after the run.
std::string MakeRunDir(const std::string& strName);
void RemoveTree(const std::string& path);

// The end of one run: what it did, whether every invariant held, and what
// went wrong when one did not.
struct Verdict {
    std::string strWhat;     // "download main 200 KB, rate 0.01"
    std::string strOutcome;  // "exit 3 in 4.1 s, 2 faults"
    std::vector<std::string> failures;
    std::vector<std::string> commands;  // the programs as they were run
    int nFaults = 0;
    bool Ok() const { return failures.empty(); }
    void Fail(const std::string& why) { failures.push_back(why); }
};

// The programs of the suite the runs start.
struct Programs {
    std::string strOrielCli;
    std::string strOrielSim;
    std::string strFleetCli;
    std::string strFleetSim;
};

// How many fault lines ("chaos: ...") a simulator's stderr holds.
int CountFaults(const std::string& strSimErr);

// How the two programs of a run ended.
struct RunEnds {
    testsupport::CChildProcess::Ended tool;
    testsupport::CChildProcess::Ended sim;
};
// Starts the simulator (output in DIR/sim.out and sim.err), waits for its
// "ready", runs the tool (DIR/tool.out, tool.err) to its end, killing it past
// the budget, and stops the simulator. The commands and the fault count go
// into the verdict; false (the verdict failed) when the simulator did not start.
bool RunPair(const std::vector<std::string>& simArgs, const std::vector<std::string>& toolArgs,
             const std::string& dir, std::chrono::seconds budget, Verdict& v, RunEnds& ends);
// The judgments every run shares: the tool ended within its budget, by
// exit(), with 0, 1 or 3 (done, failed, timed out); the simulator ended cleanly.
void JudgeEnds(const std::string& strTool, const RunEnds& ends, std::chrono::seconds budget,
               Verdict& v);
// Removes the run's folder, or keeps it and says where.
void FinishRun(const std::string& dir, bool bKeep, Verdict& v);

}  // namespace chaos
