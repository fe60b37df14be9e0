#include "tests/chaos/fleet_chaos_run.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "fleet/images/container.h"
#include "fleet/tools/mkimg.h"
#include "fleet/tools/pack.h"
#include "platform/format.h"
#include "tests/support/child_process.h"

namespace chaos {

namespace {

using namespace std::chrono_literals;

// fleet_cli --timeout for the whole batch, and what it may take beyond it
// to let its workers end.
constexpr int kBatchTimeoutSeconds = 240;
constexpr int kEndMarginSeconds = 60;

constexpr uint32_t kEbootPartition = 0x30000;  // profile 2's EBOOT length: eboot.bin holds it all
constexpr uint32_t kCodeArea = 0xE4000;        // profile 2's code area, written to the image's end
constexpr size_t kModemBlock = 1024;

// The value of "name":"..." in a JSON event line (no escapes in what is read here).
std::string JsonField(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const size_t at = line.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const size_t from = at + key.size();
    const size_t to = line.find('"', from);
    return to == std::string::npos ? std::string() : line.substr(from, to - from);
}

}  // namespace

Verdict RunFleet(const Programs& programs, uint64_t nSeed, int nHandsets, bool bKeep) {
    Verdict v;
    CRandom rnd(nSeed);
    static const std::vector<double> kRates = {0.0, 0.01, 0.02, 0.05, 0.1};
    const double rate = rnd.Pick(kRates);
    const std::string dir = MakeRunDir("fleet_chaos_" + std::to_string(nSeed));
    if (dir.empty()) {
        v.Fail("no scratch folder");
        return v;
    }
    const Bytes eboot = fleet::PatternBytes(kEbootPartition, static_cast<uint32_t>(rnd.Next()));
    const Bytes pda = fleet::BuildB000ffImage(rnd.Range(0, 1), rnd.Range(1, 60000),
                                              static_cast<uint32_t>(rnd.Next()));
    const Bytes phone = fleet::PatternBytes(kCodeArea + rnd.Range(1024, 96 * 1024),
                                            static_cast<uint32_t>(rnd.Next()));
    WriteFile(dir + "/eboot.nb0", eboot);
    WriteFile(dir + "/pda.bin", pda);
    WriteFile(dir + "/phone.bin", phone);
    fleet::PackRequest pack;
    pack.strProgram = programs.strFleetCli;
    pack.strEboot = dir + "/eboot.nb0";
    pack.strPda = dir + "/pda.bin";
    pack.strOut = dir + "/line_tool";
    pack.nProfile = 2;
    fleet::ContainerTrailer trailer;
    std::string error;
    bool bPacked = false;
    {
        std::lock_guard<std::mutex> lock(testsupport::SpawnLock());
        bPacked = fleet::PackProgram(pack, trailer, error);
    }
    if (!bPacked) {
        v.Fail("the line tool could not be packed: " + error);
        return v;
    }
    v.strWhat = platform::Format("%d handsets, PDA image %zu bytes, phone %zu bytes, rate %g",
                                 nHandsets, pda.size(), phone.size(), rate);

    const std::vector<std::string> simArgs = {programs.strFleetSim,
                                              "--dir",
                                              dir + "/dev",
                                              "--count",
                                              std::to_string(nHandsets),
                                              "--store",
                                              dir + "/store",
                                              "--modem-delay",
                                              "300",
                                              "--verify-delay",
                                              "100",
                                              "--signature-delay",
                                              "100",
                                              "--chaos",
                                              std::to_string(nSeed),
                                              "--chaos-rate",
                                              platform::Format("%g", rate)};
    const std::vector<std::string> cliArgs = {dir + "/line_tool",
                                              "--watch",
                                              dir + "/dev",
                                              "--slots",
                                              std::to_string(nHandsets),
                                              "--count",
                                              std::to_string(nHandsets),
                                              "--container",
                                              "--phone-image",
                                              dir + "/phone.bin",
                                              "--phone",
                                              "--json",
                                              "--timeout",
                                              std::to_string(kBatchTimeoutSeconds)};
    const auto budget = std::chrono::seconds(kBatchTimeoutSeconds + kEndMarginSeconds);
    RunEnds ends;
    if (!RunPair(simArgs, cliArgs, dir, budget, v, ends)) {
        RemoveTree(dir);
        return v;
    }
    const testsupport::CChildProcess::Ended& ended = ends.tool;

    // Each handset's last state, from the events.
    std::map<std::string, std::string> states;
    std::istringstream events(ReadText(dir + "/tool.out"));
    for (std::string line; std::getline(events, line);) {
        const std::string device = JsonField(line, "device");
        if (!device.empty()) {
            states[device] = JsonField(line, "state");
        }
    }
    int nFinished = 0;
    for (int n = 1; n <= nHandsets; ++n) {
        const std::string serial = platform::Format("FSIM%04d", n);
        const std::string state = states["usb-Sim_Handset_" + serial];
        if (state != "finished") {
            continue;
        }
        ++nFinished;
        // A finished handset holds the images byte for byte.
        const std::string store = dir + "/store/" + serial;
        if (ReadFile(store + "/eboot.bin") != eboot) {
            v.Fail(serial + " finished, but its EBOOT partition is not the EBOOT");
        }
        if (ReadFile(store + "/pda_flash.bin") != pda) {
            v.Fail(serial + " finished, but its flash is not the PDA image");
        }
        const size_t end = (phone.size() + kModemBlock - 1) / kModemBlock * kModemBlock;
        Bytes area(end - kCodeArea, 0xFF);
        std::copy(phone.begin() + kCodeArea, phone.end(), area.begin());
        if (ReadFile(store + platform::Format("/modem/%08X.bin", kCodeArea)) != area) {
            v.Fail(serial + " finished, but its modem code area is not the phone image");
        }
    }
    v.strOutcome = platform::Format("exit %d in %.1f s, %d of %d finished, %d fault%s",
                                    ended.nStatus, ended.dSeconds, nFinished, nHandsets, v.nFaults,
                                    v.nFaults == 1 ? "" : "s");
    JudgeEnds("fleet_cli", ends, budget, v);
    if (ended.bExited && ended.nStatus == 0 && nFinished != nHandsets) {
        v.Fail("exit 0, but not every handset finished");
    }
    if (ended.bExited && ended.nStatus != 0 && v.nFaults == 0) {
        v.Fail("a batch without a fault failed: " + ReadText(dir + "/tool.err"));
    }
    FinishRun(dir, bKeep, v);
    return v;
}

}  // namespace chaos
