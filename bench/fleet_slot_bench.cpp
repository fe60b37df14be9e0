// Times one slot's whole job (container worker: EBOOT, a B000FF image, the
// switch, the modem's code area, the launch) against the simulated handset,
// unpaced and paced at USB full-speed rates, and prints each phase's
// throughput beside the pacing limit. The protocol's fixed pauses are part
// of the job and run at their real length; the time spent in them is
// printed apart, with the throughput of the time left.
//
//   fleet_slot_bench [--pda-mb N] [--phone-kb N] [--pace BYTES_PER_S] [--runs N]

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fleet/images/image_selection.h"
#include "fleet/images/platform_profile.h"
#include "fleet/pda/b000ff_stream.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/phone/phone_phase.h"
#include "fleet/tools/mkimg.h"
#include "fleet/tools/pack.h"
#include "fleet/transport/slot_events.h"
#include "fleet/transport/slot_launch.h"
#include "fleet/transport/slot_messages.h"
#include "fleet/transport/tty_device.h"
#include "fleet/worker/download_from_container.h"
#include "platform/scripted_prompts.h"
#include "sim/fleet/fleet_handset.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRow = 2;  // MTX-Juniper: code area from 0xE4000

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The window: records when each code came and how long the worker had
// paused by then (posts run on the worker's thread).
class CTimingSink : public platform::IMessageSink {
  public:
    struct Mark {
        uint32_t nMsg;
        uint32_t nCode;
        Clock::time_point at;
        std::chrono::nanoseconds paused;
    };
    void PostMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override {
        if (nMsg == fleet::WM_SLOT_LOG) {
            fleet::AdoptSlotLogText({nMsg, wParam, lParam});
            return;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        marks.push_back(
            {nMsg, static_cast<uint32_t>(wParam), Clock::now(), fleet::SlotPausedTime(0)});
    }
    const Mark* Last(uint32_t nMsg, uint32_t nFrom, uint32_t nTo) const {
        for (auto it = marks.rbegin(); it != marks.rend(); ++it) {
            if (it->nMsg == nMsg && it->nCode >= nFrom && it->nCode <= nTo) {
                return &*it;
            }
        }
        return nullptr;
    }
    const Mark* First(uint32_t nMsg, uint32_t nCode) const {
        for (const Mark& m : marks) {
            if (m.nMsg == nMsg && m.nCode == nCode) {
                return &m;
            }
        }
        return nullptr;
    }
    std::vector<Mark> marks;

  private:
    std::mutex m_lock;
};

struct Phase {
    double wall = 0;
    double paused = 0;
    double bytes = 0;
};

struct RunResult {
    bool bOk = false;
    double total = 0;
    double paused = 0;
    Phase pda;
    Phase stream;  // the B000FF stream alone
    Phase phone;
    Phase blocks;  // the code area's blocks alone
};

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string error;
    if (!fleet::WriteBytes(path, bytes, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return true;
}

RunResult RunOnce(const std::string& dir, uint64_t nPace, const std::vector<uint8_t>& eboot,
                  const std::vector<uint8_t>& pda, const std::vector<uint8_t>& phone) {
    RunResult r;
    std::filesystem::remove_all(dir + "/dev");
    std::filesystem::remove_all(dir + "/store");
    fleetsim::FleetOptions options;
    options.strDir = dir + "/dev";
    options.strStoreDir = dir + "/store";
    options.settings.nPaceBytesPerSecond = nPace;
    fleetsim::CHandsetFleet fleet(options);
    std::string error;
    if (!fleet.Start(error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return r;
    }
    fleet::PhoneSettings phoneSettings;
    phoneSettings.modem.strFolder = options.strDir;
    fleet::SetPhoneSettings(phoneSettings);

    const std::vector<fleet::PlatformProfile> profiles = fleet::BuildPlatformProfiles();
    platform::CScriptedPrompts prompts;
    fleet::CImageSelection selection(prompts, [](const std::string&) {});
    selection.LoadPlatformProfiles();
    selection.OnPlatformSelected(kRow + 1);
    prompts.m_openAnswers.push_back(dir + "/phone.bin");
    if (!selection.SetImageChosen(fleet::kImagePhone, true)) {
        std::fprintf(stderr, "the phone image was not taken\n");
        return r;
    }

    fleet::CFleetSlots slots;
    fleet::SlotContext& ctx = slots.contexts[0];
    CTimingSink sink;
    fleet::DeviceInterfaceClass cls;
    cls.strFolder = options.strDir;
    std::fflush(stdout);
    const int savedOut = dup(1);
    (void)!freopen("/dev/null", "w", stdout);  // the port's "Attempting to open" lines
    const bool bOpen = slots.pdaPorts[0].Open(cls, 0);
    std::fflush(stdout);
    dup2(savedOut, 1);
    close(savedOut);
    if (!bOpen || !ctx.programFile.Open(dir + "/fleet_downloader")) {
        std::fprintf(stderr, "cannot open the handset or the program file\n");
        return r;
    }
    ctx.nSlot = 0;
    ctx.nStagger = 0;
    ctx.pWindow = &sink;
    ctx.pPdaPort = &slots.pdaPorts[0];
    ctx.pPhonePort = &slots.phonePorts[0];
    ctx.nPhoneFlag = 1;
    ctx.nLaunchFlag = 1;
    ctx.pProfile = &profiles[kRow];
    ctx.pPhoneImage = &selection.Phone();
    ctx.strDeviceName = "usb-Sim_Handset_" + fleet.Handset(0).Serial();
    ctx.pPhoneComNumber = &slots.phoneComNumbers[0];
    ctx.nPhoneMode = 1;

    // The window's watch for the modem port.
    std::atomic<bool> bWatch{true};
    std::thread watcher([&] {
        const std::string link = fleet.Handset(0).ModemLinkPath();
        while (bWatch) {
            struct stat st {};
            if (lstat(link.c_str(), &st) == 0) {
                slots.phoneComNumbers[0] = static_cast<int32_t>(fleet::tty::PortNumberOfTty(link));
                fleet::g_phonePortEvents[0].Set();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    fleet::ResetSlotPausedTime(0);
    const auto started = Clock::now();
    const bool bStarted = slots.StartWorker(0, fleet::DownloadFromContainerThread);
    slots.JoinWorker(0);
    r.total = Seconds(Clock::now() - started);
    r.paused = std::chrono::duration<double>(fleet::SlotPausedTime(0)).count();
    bWatch = false;
    watcher.join();

    const auto* done = sink.First(fleet::WM_PDA_PROGRESS, fleet::kPdaJobFinished);
    const auto* pdaStart = sink.First(fleet::WM_PDA_PROGRESS, fleet::kPdaEbootTransferStart);
    const auto* pdaEnd = sink.First(fleet::WM_PHONE_PROGRESS, fleet::kPhoneSwitchStart);
    const auto* phoneStart = sink.First(fleet::WM_PHONE_PROGRESS, fleet::kPhonePortOpened);
    const auto* phoneEnd = sink.First(fleet::WM_PHONE_PROGRESS, fleet::kPhoneAllAreasWritten);
    const size_t phoneSize = (phone.size() + 1023) / 1024 * 1024;
    const uint32_t codeStart = profiles[kRow].phoneAreas[1].m_dwStartAddr;
    r.bOk = bStarted && done != nullptr && pdaStart && pdaEnd && phoneStart && phoneEnd &&
            fleet.Handset(0).PdaImage() == pda && fleet.Handset(0).Eboot() == eboot &&
            fleet.Handset(0).ModemArea(codeStart).size() == phoneSize - codeStart;
    if (!r.bOk) {
        std::fprintf(stderr, "the job did not finish with the images written; its codes:");
        for (const auto& m : sink.marks) {
            if (m.nCode != 209 && m.nCode != 316 && m.nCode != 312) {
                std::fprintf(stderr, " %u", m.nCode);
            }
        }
        std::fprintf(stderr, "\n");
        return r;
    }
    r.pda = {Seconds(pdaEnd->at - pdaStart->at),
             std::chrono::duration<double>(pdaEnd->paused - pdaStart->paused).count(),
             static_cast<double>(eboot.size() + pda.size())};
    const auto* streamStart = sink.First(fleet::WM_PDA_PROGRESS, fleet::kPdaBinFirstPart);
    const auto* streamEnd =
        sink.Last(fleet::WM_PDA_PROGRESS, fleet::kPdaBinFirstPart, fleet::kPdaBinLastPart);
    const auto* blocksStart = sink.First(fleet::WM_PHONE_PROGRESS, fleet::kPhoneWriteProgress);
    const auto* blocksEnd =
        sink.Last(fleet::WM_PHONE_PROGRESS, fleet::kPhoneWriteProgress, fleet::kPhoneWriteProgress);
    if (streamStart && streamEnd && blocksStart && blocksEnd) {
        r.stream = {Seconds(streamEnd->at - streamStart->at),
                    std::chrono::duration<double>(streamEnd->paused - streamStart->paused).count(),
                    static_cast<double>(pda.size())};
        r.blocks = {Seconds(blocksEnd->at - blocksStart->at),
                    std::chrono::duration<double>(blocksEnd->paused - blocksStart->paused).count(),
                    static_cast<double>(phoneSize - codeStart)};
    }
    r.phone = {Seconds(phoneEnd->at - phoneStart->at),
               std::chrono::duration<double>(phoneEnd->paused - phoneStart->paused).count(),
               static_cast<double>(phoneSize - codeStart)};
    fleet.Stop();
    return r;
}

// Pauses and wire time overlap in part (the link goes on moving what the host
// queued while it sleeps), so their sum is an upper reference, not a bound.
void PrintPhase(const char* name, const Phase& p, double limit) {
    std::printf("  %-7s %7.2f MB in %7.2f s = %8.1f KB/s; fixed pauses %6.2f s", name,
                p.bytes / 1e6, p.wall, p.bytes / p.wall / 1e3, p.paused);
    if (limit > 0) {
        const double wire = p.bytes / limit;
        std::printf("; limit %6.1f KB/s = %6.2f s on the wire; measured / (pauses + wire) %.3f\n",
                    limit / 1e3, wire, p.wall / (p.paused + wire));
    } else {
        std::printf("; outside the pauses %8.1f KB/s\n",
                    p.wall > p.paused ? p.bytes / (p.wall - p.paused) / 1e3 : 0.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double pdaMb = 40.0;
    double phoneKb = 1536;
    uint64_t pace = 1000000;
    int runs = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--pda-mb" && v) {
            pdaMb = std::atof(v);
            ++i;
        } else if (a == "--phone-kb" && v) {
            phoneKb = std::atof(v);
            ++i;
        } else if (a == "--pace" && v) {
            pace = std::strtoull(v, nullptr, 10);
            ++i;
        } else if (a == "--runs" && v) {
            runs = std::max(1, std::atoi(v));
            ++i;
        } else {
            std::fprintf(stderr,
                         "usage: fleet_slot_bench [--pda-mb N] [--phone-kb N] [--pace BYTES_PER_S] "
                         "[--runs N]\n");
            return 2;
        }
    }

    // A port number of 0 means no port: a pseudo-terminal held here keeps
    // the simulated handset's ports off /dev/pts/0.
    int holdMaster = -1;
    int holdSlave = -1;
    if (openpty(&holdMaster, &holdSlave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
    }

    char templ[] = "/tmp/fleet_slot_bench.XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = templ;
    const uint32_t records = static_cast<uint32_t>(pdaMb * 1e6 / 131596);
    const std::vector<uint8_t> eboot = fleet::PatternBytes(0x30000, 1);
    const std::vector<uint8_t> pda = fleet::BuildB000ffImage(records, 5000, 2);
    const uint32_t codeStart = fleet::BuildPlatformProfiles()[kRow].phoneAreas[1].m_dwStartAddr;
    const std::vector<uint8_t> phone =
        fleet::PatternBytes(codeStart + static_cast<size_t>(phoneKb * 1024), 3);
    fleet::PackRequest request;
    request.strProgram = dir + "/program";
    request.strEboot = dir + "/eboot.nb0";
    request.strPda = dir + "/pda.bin";
    request.strOut = dir + "/fleet_downloader";
    request.nProfile = kRow;
    fleet::ContainerTrailer trailer;
    std::string error;
    if (!WriteFile(request.strProgram, fleet::PatternBytes(0x21000, 9)) ||
        !WriteFile(request.strEboot, eboot) || !WriteFile(request.strPda, pda) ||
        !WriteFile(dir + "/phone.bin", phone) || !fleet::PackProgram(request, trailer, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    std::printf(
        "one slot, container worker: EBOOT %zu KB, B000FF image %.2f MB (%zu part%s), "
        "modem code area %.0f KB; pauses at their protocol length\n",
        eboot.size() / 1024, static_cast<double>(pda.size()) / 1e6,
        pda.size() > 26319215 ? size_t{2} : size_t{1}, pda.size() > 26319215 ? "s" : "", phoneKb);
    int status = 0;
    for (const uint64_t nPace : {uint64_t{0}, pace}) {
        RunResult best;
        for (int run = 0; run < runs; ++run) {
            const RunResult r = RunOnce(dir, nPace, eboot, pda, phone);
            if (!r.bOk) {
                status = 1;
                break;
            }
            if (!best.bOk || r.total < best.total) {
                best = r;
            }
        }
        if (!best.bOk) {
            continue;
        }
        if (nPace == 0) {
            std::printf("unpaced:\n");
        } else {
            std::printf("paced at %llu bytes/s per port:\n",
                        static_cast<unsigned long long>(nPace));
        }
        std::printf("  job     %7.2f s, of which fixed pauses %6.2f s\n", best.total, best.paused);
        // The PDA link carries 1008 image bytes per 1024-byte packet.
        PrintPhase("PDA", best.pda, static_cast<double>(nPace) * 1008.0 / 1024.0);
        PrintPhase(" stream", best.stream, static_cast<double>(nPace) * 1008.0 / 1024.0);
        PrintPhase("phone", best.phone, static_cast<double>(nPace));
        PrintPhase(" blocks", best.blocks, static_cast<double>(nPace));
    }
    std::filesystem::remove_all(dir);
    close(holdSlave);
    close(holdMaster);
    return status;
}
