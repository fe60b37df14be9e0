#include "tests/chaos/chaos_common.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace chaos {

uint64_t CRandom::Next() {
    uint64_t z = (m_nState += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

Bytes CRandom::Fill(size_t n) {
    Bytes b(n);
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % 8 == 0) {
            v = Next();
        }
        b[i] = static_cast<uint8_t>(v >> (8 * (i % 8)));
    }
    return b;
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

Bytes ReadFile(const std::string& path, bool* pExists) {
    std::ifstream f(path, std::ios::binary);
    if (pExists != nullptr) {
        *pExists = static_cast<bool>(f);
    }
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
    const Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::string MakeRunDir(const std::string& strName) {
    const char* env = std::getenv("TMPDIR");
    std::string templ =
        std::string(env != nullptr && *env != '\0' ? env : "/tmp") + "/" + strName + ".XXXXXX";
    return mkdtemp(templ.data()) != nullptr ? templ : std::string();
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

bool RunPair(const std::vector<std::string>& simArgs, const std::vector<std::string>& toolArgs,
             const std::string& dir, std::chrono::seconds budget, Verdict& v, RunEnds& ends) {
    v.commands = {testsupport::ShellLine(simArgs), testsupport::ShellLine(toolArgs)};
    testsupport::CChildProcess sim(simArgs, dir + "/sim.out", dir + "/sim.err");
    bool bReady = false;
    for (int i = 0; i < 2000 && sim.Started() && !bReady; ++i) {
        bReady = ReadText(dir + "/sim.out").find("ready") != std::string::npos;
        if (!bReady) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!bReady) {
        v.Fail("the simulator did not start: " + ReadText(dir + "/sim.err"));
        return false;
    }
    testsupport::CChildProcess tool(toolArgs, dir + "/tool.out", dir + "/tool.err");
    ends.tool = tool.Wait(budget);
    ends.sim = sim.Stop(std::chrono::seconds(20));
    v.nFaults = CountFaults(ReadText(dir + "/sim.err"));
    return true;
}

void JudgeEnds(const std::string& strTool, const RunEnds& ends, std::chrono::seconds budget,
               Verdict& v) {
    const testsupport::CChildProcess::Ended& e = ends.tool;
    if (e.bTimedOut) {
        v.Fail(strTool + " did not end within " + std::to_string(budget.count()) + " s");
    } else if (!e.bExited) {
        v.Fail(strTool + " ended by signal " + std::to_string(e.nSignal));
    } else if (e.nStatus != 0 && e.nStatus != 1 && e.nStatus != 3) {
        v.Fail(strTool + " exit status " + std::to_string(e.nStatus));
    }
    if (!ends.sim.bExited || ends.sim.nStatus != 0) {
        v.Fail("the simulator did not end cleanly");
    }
}

void FinishRun(const std::string& dir, bool bKeep, Verdict& v) {
    if (bKeep) {
        v.commands.push_back("(kept in " + dir + ")");
    } else {
        RemoveTree(dir);
    }
}

int CountFaults(const std::string& strSimErr) {
    int n = 0;
    std::istringstream in(strSimErr);
    for (std::string line; std::getline(in, line);) {
        n += line.find("chaos: ") != std::string::npos ? 1 : 0;
    }
    return n;
}

}  // namespace chaos
