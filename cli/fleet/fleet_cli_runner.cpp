#include "cli/fleet/fleet_cli_runner.h"

#include <poll.h>

#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fleet/images/image_selection.h"
#include "fleet/images/program_file.h"
#include "fleet/transport/slot_events.h"
#include "fleet/transport/slot_launch.h"
#include "fleet/transport/slot_messages.h"
#include "fleet/transport/tty_device.h"
#include "fleet/ui/detection.h"
#include "fleet/ui/slot_board.h"
#include "fleet/ui/slot_history.h"
#include "fleet/ui/slot_reset.h"
#include "platform/event_loop.h"
#include "platform/format.h"
#include "platform/history/job_record.h"
#include "platform/scripted_prompts.h"

namespace fleetcli {

namespace {

constexpr uint32_t WM_DEVICE_FOLDER = platform::WM_USER + 100;
constexpr uint32_t WM_PROBES_DONE = platform::WM_USER + 101;

const char* StateText(int32_t n) {
    switch (n) {
        case fleet::kSlotReady:
            return "ready";
        case fleet::kSlotDownloading:
            return "downloading";
        case fleet::kSlotFinished:
            return "finished";
        case fleet::kSlotFailed:
            return "failed";
        default:
            return "empty";
    }
}

struct EndedHandset {
    int nSlot = 0;
    std::string strDevice;
    int32_t nState = 0;
    std::string strLast;
};

std::string Stamp(const char* fmt) {
    char buf[32];
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    std::strftime(buf, sizeof buf, fmt, &t);
    return buf;
}

std::string SafeName(std::string s) {
    for (char& c : s) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
            c = '_';
        }
    }
    return s;
}

}  // namespace

CFleetCliRunner::CFleetCliRunner(const FleetCliOptions& options, std::FILE* out, std::FILE* err)
    : m_options(options), m_out(out), m_err(err) {}

void CFleetCliRunner::SetWorkers(fleet::SlotWorker container, fleet::SlotWorker files) {
    m_container = container;
    m_files = files;
}

int CFleetCliRunner::Run() {
    platform::CStdEventLoop loop;
    platform::CScriptedPrompts prompts;
    prompts.m_fnOnMessage = [this](const platform::CScriptedPrompts::Shown& shown) {
        std::fprintf(m_err, "message: %s\n", shown.text.c_str());
    };
    fleet::CSlotBoard board;
    fleet::CFleetSlots slots;
    fleet::CImageSelection selection(prompts,
                                     [&board](const std::string& t) { board.AppendLog(t); });
    selection.LoadPlatformProfiles();
    selection.OnPlatformSelected(m_options.nPlatform);
    board.SetProfile(selection.CurrentProfile());
    fleet::CSlotHistory slotHistory;
    slotHistory.SetRecorder(m_pRecorder, m_strStation, history::kFrontEndCommandLine);

    // The images, chosen as the operator would choose them in the window.
    auto choose = [&](int kind, const std::string& path) {
        prompts.m_openAnswers.push_back(path);
        return selection.SetImageChosen(kind, true);
    };
    bool bImages = true;
    if (!m_options.strImg.empty()) {
        prompts.m_openAnswers.push_back(m_options.strImg);
        bImages = selection.SetCombinedChosen(true);
    } else if (m_options.bContainer) {
        bImages = m_options.strPhone.empty() || choose(fleet::kImagePhone, m_options.strPhone);
    } else {
        bImages = (m_options.strEboot.empty() || choose(fleet::kImageEboot, m_options.strEboot)) &&
                  (m_options.strPda.empty() || choose(fleet::kImagePda, m_options.strPda)) &&
                  (m_options.strPhone.empty() || choose(fleet::kImagePhone, m_options.strPhone));
    }
    if (!bImages) {
        std::fprintf(m_err, "fleet_cli: the images were refused:\n%s", board.Log().c_str());
        return 2;
    }

    fleet::DetectionConfig config;
    config.pdaClass.strFolder = m_options.strWatch;
    config.pdaClass.strPattern = m_options.strPdaPattern;
    config.strModemPattern = m_options.strModemPattern;
    config.pdaClass.strVendorId = m_options.strVendorId;
    fleet::CDetection detection(board, slots.pdaPorts, config);
    detection.SetStartImmediately(true);
    // Handshakes run on probe threads; their results are taken on the loop.
    detection.SetProbeWake([&loop] { loop.PostMessage(WM_PROBES_DONE, 0, 0); });

    int nServed = 0;
    bool bStartPending = false;
    // Slots beyond --slots never take a handset, and none is taken once
    // COUNT are served or about to be (ready and waiting for their start).
    detection.SetMayAccept([&](int nSlot) {
        int nReady = 0;
        for (int i = 0; i < fleet::kBoardSlots; ++i) {
            nReady += board.Slot(i).nState == fleet::kSlotReady ? 1 : 0;
        }
        return nSlot < m_options.nSlots && nServed + nReady < m_options.nCount;
    });
    detection.SetStartAction([&] { bStartPending = true; });
    detection.SetPhonePortLearntAction([&](int nSlot) {
        slots.phoneComNumbers[static_cast<size_t>(nSlot)] = detection.PhoneComNumber(nSlot).load();
    });
    detection.SetPhonePortAction(
        [](int nSlot) { fleet::g_phonePortEvents[static_cast<size_t>(nSlot)].Set(); });

    fleet::CDeviceFolderWatch watch;
    std::string error;
    if (!watch.Start(m_options.strWatch, error)) {
        std::fprintf(m_err, "fleet_cli: %s\n", error.c_str());
        return 2;
    }
    // Made before any handset is served: a log that has nowhere to go would
    // otherwise be lost without a word.
    if (!m_options.strLogDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(m_options.strLogDir, ec);
        if (ec || !std::filesystem::is_directory(m_options.strLogDir)) {
            std::fprintf(m_err, "fleet_cli: --log-dir %s: %s\n", m_options.strLogDir.c_str(),
                         ec ? ec.message().c_str() : "not a folder");
            return 2;
        }
    }
    std::vector<std::string> texts(fleet::kBoardSlots);
    std::vector<std::string> lastSlotLog(fleet::kBoardSlots);
    auto report = [&](int nSlot, uint32_t nCode) {
        const fleet::SlotView& v = board.Slot(nSlot);
        if (m_options.bJson) {
            std::fprintf(m_out,
                         "{\"slot\":%d,\"code\":%u,\"text\":%s,\"state\":\"%s\",\"device\":%s}\n",
                         nSlot + 1, nCode, JsonString(v.strProgressText).c_str(),
                         StateText(v.nState), JsonString(v.strDeviceName).c_str());
        } else if (v.strProgressText != texts[static_cast<size_t>(nSlot)]) {
            std::fprintf(m_out, "slot %d: %s\n", nSlot + 1, v.strProgressText.c_str());
        }
        texts[static_cast<size_t>(nSlot)] = v.strProgressText;
        std::fflush(m_out);
    };
    auto saveLog = [&](int nSlot) {
        if (m_options.strLogDir.empty()) {
            return;
        }
        const fleet::SlotView& v = board.Slot(nSlot);
        const std::string path =
            m_options.strLogDir + "/" +
            SafeName(platform::Format("slot%d_%s_%s.log", nSlot + 1,
                                      v.strDeviceName.empty() ? "unknown" : v.strDeviceName.c_str(),
                                      Stamp("%Y%m%d-%H%M%S").c_str()));
        std::ofstream file(path, std::ios::binary);
        file << v.strLog;
        file.close();
        if (!file) {
            std::fprintf(m_err, "fleet_cli: the log of slot %d could not be written to %s\n",
                         nSlot + 1, path.c_str());
        }
    };

    // While workers are being started, folder events and handshake results
    // wait: a handset detected then would be started by a start that has begun.
    bool bStarting = false;
    bool bFolderDeferred = false;
    bool bProbesDeferred = false;
    // What the shared log gained is printed as it comes ("PDA Device not
    // found.", "PDA 1 finished downloading!").
    size_t nLogShown = 0;
    auto printLog = [&] {
        const std::string& log = board.Log();
        if (log.size() < nLogShown) {
            nLogShown = 0;
        }
        size_t at = nLogShown;
        for (size_t end = log.find('\n', at); end != std::string::npos; end = log.find('\n', at)) {
            std::string line = log.substr(at, end - at);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (m_options.bJson) {
                std::fprintf(m_out, "{\"log\":%s}\n", JsonString(line).c_str());
            } else {
                std::fprintf(m_out, "%s\n", line.c_str());
            }
            at = end + 1;
        }
        if (at != nLogShown) {
            nLogShown = at;
            std::fflush(m_out);
        }
    };
    // Every handset that ended, in the order they ended: with more handsets
    // than slots a slot serves several, and a reset slot forgets its last.
    std::vector<EndedHandset> ended;
    int nFinished = 0;
    int nFailed = 0;
    // Whether a slot's worker has ended and everything it posted has been
    // taken (its log is whole then), and how many have not.
    std::array<bool, fleet::kBoardSlots> workerEnded;
    workerEnded.fill(true);
    int nWorkersRunning = 0;
    // Whether any link of the handset is in the folder.
    auto attached = [&](const std::string& strDevice) {
        for (const std::string& pattern : {config.pdaClass.strPattern, config.strModemPattern}) {
            if (pattern.empty()) {
                continue;
            }
            for (const std::string& name : fleet::tty::ListMatching(m_options.strWatch, pattern)) {
                if (fleet::DeviceNameOfLink(name) == strDevice) {
                    return true;
                }
            }
        }
        return false;
    };
    // A slot whose handset ended and has been unplugged is free for the next
    // one, as the operator's "reset" makes it in the window; not before its
    // worker's last message, so its log is written whole first.
    auto resetIfUnplugged = [&](const std::string& strLink) {
        const std::string device = fleet::DeviceNameOfLink(strLink);
        for (int i = 0; i < m_options.nSlots; ++i) {
            const fleet::SlotView& v = board.Slot(i);
            if (v.strDeviceName != device || !v.Ended() || !workerEnded[static_cast<size_t>(i)]) {
                continue;
            }
            fleet::ResetEndedSlot(slots, detection, board, i);
            report(i, 0);
        }
    };
    loop.SetMessageHandler([&](const platform::WindowMessage& m) {
        if (m.nMsg == WM_DEVICE_FOLDER && bStarting) {
            bFolderDeferred = true;
            return;
        }
        if (m.nMsg == WM_PROBES_DONE) {
            if (bStarting) {
                bProbesDeferred = true;
                return;
            }
            detection.CompleteProbes();
            // An interface that is there but would not open: its cause on stderr too.
            const std::string failure = detection.TakeOpenFailure();
            if (!failure.empty()) {
                std::fprintf(m_err, "fleet_cli: PDA Device not found.\n%s\n", failure.c_str());
            }
            printLog();
            return;
        }
        if (m.nMsg == WM_DEVICE_FOLDER) {
            // The first wake-up also takes the handsets attached before the start.
            std::vector<fleet::DeviceLinkEvent> events =
                m.wParam == 1 ? watch.ExistingLinks() : watch.ReadEvents();
            for (const fleet::DeviceLinkEvent& e : events) {
                const bool bPda = fleet::LinkNameMatches(e.strName, config.pdaClass.strPattern);
                const bool bModem = !config.strModemPattern.empty() &&
                                    fleet::LinkNameMatches(e.strName, config.strModemPattern);
                // A handset leaves through whichever link it has: the PDA
                // interface, or the modem port after a phone job.
                if ((bPda || bModem) && !e.bArrived) {
                    detection.OnDeviceEvent(e);
                    resetIfUnplugged(e.strName);
                    continue;
                }
                detection.OnDeviceEvent(e);
            }
            printLog();
            return;
        }
        const int nSlot = fleet::SlotOfLParam(m.lParam);
        if (nSlot < 0 || nSlot >= fleet::kBoardSlots) {
            return;
        }
        if (m.nMsg == fleet::WM_WORKER_ENDED) {
            workerEnded[static_cast<size_t>(nSlot)] = true;
            --nWorkersRunning;
            const fleet::SlotView& v = board.Slot(nSlot);
            if (v.Ended()) {
                // Recorded now that the worker has ended: its log is whole.
                slotHistory.SlotEnded(nSlot, v, slots, selection);
                saveLog(nSlot);
                // Unplugged before its end was known: free now.
                if (!attached(v.strDeviceName)) {
                    fleet::ResetEndedSlot(slots, detection, board, nSlot);
                    report(nSlot, 0);
                }
            }
            return;
        }
        const int32_t before = board.Slot(nSlot).nState;
        if (m.nMsg == fleet::WM_PDA_PROGRESS) {
            board.OnPdaProgress(static_cast<uint32_t>(m.wParam), m.lParam);
        } else if (m.nMsg == fleet::WM_PHONE_PROGRESS) {
            board.OnPhoneProgress(static_cast<uint32_t>(m.wParam), m.lParam);
        } else if (m.nMsg == fleet::WM_SLOT_LOG) {
            const std::unique_ptr<char[]> text = fleet::AdoptSlotLogText(m);
            if (text) {
                board.OnSlotLog(nSlot, text.get());
                lastSlotLog[static_cast<size_t>(nSlot)] = text.get();
            }
            return;
        } else if (m.nMsg == fleet::WM_WINDOW_TEXT) {
            const std::unique_ptr<char[]> text = fleet::AdoptSlotLogText(m);
            if (text && fleet::ArgumentOfLParam(m.lParam) == fleet::kWindowTextBox) {
                prompts.MessageBox(text.get(), platform::MsgButtons::Ok, platform::MsgIcon::Error);
            } else if (text) {
                board.AppendLog(text.get());
                printLog();
            }
            return;
        } else {
            return;
        }
        slots.states[static_cast<size_t>(nSlot)] = board.Slot(nSlot).nState;
        report(nSlot, static_cast<uint32_t>(m.wParam));
        if (m.nMsg == fleet::WM_PHONE_PROGRESS && m.wParam == fleet::kPhonePortOpenFailed) {
            // The worker logs why a modem port would not open just before this.
            std::string why = lastSlotLog[static_cast<size_t>(nSlot)];
            std::erase(why, '\r');
            if (why.starts_with("PHONE-/")) {
                std::fprintf(m_err, "fleet_cli: slot %d: %s", nSlot + 1, why.c_str());
            }
        }
        printLog();
        const fleet::SlotView& v = board.Slot(nSlot);
        if (v.nState != before && v.Ended()) {
            ended.push_back({nSlot, v.strDeviceName, v.nState, v.strProgressText});
            (v.nState == fleet::kSlotFinished ? nFinished : nFailed) += 1;
        }
    });

    // Folder events are read on the loop's thread; this one only wakes it.
    std::atomic<bool> bWatching{true};
    std::thread watcher([&] {
        while (bWatching) {
            pollfd p{watch.Fd(), POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                loop.PostMessage(WM_DEVICE_FOLDER, 0, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    });

    board.Detect();
    loop.PostMessage(WM_DEVICE_FOLDER, 1, 0);
    fleet::SlotStartRequest request;
    request.strProgramPath = m_options.bContainer && !m_options.strContainerFile.empty()
                                 ? m_options.strContainerFile
                             : m_strProgramPath.empty() ? fleet::ProgramFilePath()
                                                        : m_strProgramPath;
    request.profiles = selection.Profiles();
    request.nPlatformRow = selection.CurrentProfileIndex();
    request.pSelection = &selection;
    request.options.bPhoneChosen = m_options.bPhone || selection.PhoneChosen();
    request.options.bPhoneBootloaderUpdate = m_options.bPhoneBootUpdate;
    request.options.bMultiDownload = m_options.bMulti;
    request.options.bPhoneInit = m_options.bPhoneInit;
    request.pWindow = &loop;
    request.pPrompts = &prompts;
    request.fnLog = [&board](const std::string& t) { board.AppendLog(t); };
    request.containerWorker = m_container;
    request.filesWorker = m_files;
    // Events of the workers already started are printed as they come, so
    // their times stay true while the next ones wait their turn.
    request.fnStarted = [&](int i) {
        printLog();
        workerEnded[static_cast<size_t>(i)] = false;
        ++nWorkersRunning;
        if (board.Slot(i).nState == fleet::kSlotReady) {
            board.SlotStarted(i);
            slotHistory.SlotStarted(i, slots);
            ++nServed;
            report(i, 0);
        }
    };
    request.fnWait = [&](std::chrono::milliseconds interval) {
        loop.RunUntil([] { return false; }, interval);
    };

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(m_options.nTimeoutSeconds);
    int nExit = 0;
    bool bRefused = false;
    for (;;) {
        loop.RunUntil([&] { return bStartPending || m_bInterrupted; },
                      std::chrono::milliseconds(200));
        if (bStartPending) {
            bStartPending = false;
            for (int i = 0; i < fleet::kBoardSlots; ++i) {
                slots.states[static_cast<size_t>(i)] = board.Slot(i).nState;
                slots.deviceNames[static_cast<size_t>(i)] = board.Slot(i).strDeviceName;
            }
            bStarting = true;
            const fleet::SlotStartResult r = fleet::StartReadySlots(slots, request);
            bStarting = false;
            if (bFolderDeferred) {
                bFolderDeferred = false;
                loop.PostMessage(WM_DEVICE_FOLDER, 0, 0);
            }
            if (bProbesDeferred) {
                bProbesDeferred = false;
                loop.PostMessage(WM_PROBES_DONE, 0, 0);
            }
            printLog();
            if (r.outcome != fleet::StartOutcome::Completed) {
                bRefused = true;
            }
        }
        const bool bAllEnded =
            nServed >= m_options.nCount && nFinished + nFailed >= m_options.nCount;
        if (bAllEnded || bRefused || m_bInterrupted) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(m_err, "fleet_cli: timed out after %d s\n", m_options.nTimeoutSeconds);
            nExit = 3;
            break;
        }
    }
    bWatching = false;
    watcher.join();
    detection.StopProbes();
    // Interrupted or timed out: the workers still running are asked to stop,
    // so the program ends promptly and closes their ports after them.
    if (!slots.StopAll(fleet::kWorkerStopBound)) {
        std::fprintf(m_err, "fleet_cli: a worker did not stop; ending without it\n");
        std::fflush(nullptr);
        std::_Exit(nExit == 0 ? 1 : nExit);
    }
    slots.JoinAll();
    // Messages the workers posted last, up to each one's end.
    loop.RunUntil([&] { return nWorkersRunning <= 0; }, std::chrono::milliseconds(2000));

    // With --json stdout holds the event objects alone.
    std::FILE* summary = m_options.bJson ? m_err : m_out;
    // The handsets that ended, then what the slots hold that did not.
    std::fprintf(summary, "%-5s %-32s %-12s %s\n", "slot", "device", "state", "last");
    for (const EndedHandset& h : ended) {
        std::fprintf(summary, "%-5d %-32s %-12s %s\n", h.nSlot + 1, h.strDevice.c_str(),
                     StateText(h.nState), h.strLast.c_str());
    }
    for (int i = 0; i < m_options.nSlots; ++i) {
        const fleet::SlotView& v = board.Slot(i);
        if (!v.Ended() && v.nState != fleet::kSlotEmpty) {
            std::fprintf(summary, "%-5d %-32s %-12s %s\n", i + 1, v.strDeviceName.c_str(),
                         StateText(v.nState), v.strProgressText.c_str());
        }
    }
    std::fprintf(summary, "finished %d, failed %d of %d\n", nFinished, nFailed, m_options.nCount);
    std::fflush(summary);
    if (bRefused) {
        std::fprintf(m_err, "fleet_cli: the start was refused:\n%s", board.Log().c_str());
        return 1;
    }
    if (nExit == 0 && (nFinished < m_options.nCount || nFailed > 0)) {
        nExit = 1;
    }
    return nExit;
}

}  // namespace fleetcli
