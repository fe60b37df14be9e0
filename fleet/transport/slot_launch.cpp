#include "fleet/transport/slot_launch.h"

#include <algorithm>
#include <system_error>

#include "fleet/images/container.h"
#include "fleet/images/image_file.h"
#include "fleet/images/image_selection.h"
#include "fleet/images/platform_profile.h"
#include "fleet/transport/slot_messages.h"
#include "fleet/transport/stop_token.h"
#include "fleet/transport/thread_priority.h"
#include "platform/diag_log.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace fleet {

CFleetSlots::CFleetSlots()
    : m_rng(static_cast<std::minstd_rand::result_type>(
          std::chrono::system_clock::now().time_since_epoch().count())) {}

CFleetSlots::~CFleetSlots() {
    JoinAll();
}

bool CFleetSlots::StartWorker(int nSlot, SlotWorker worker) {
    const size_t i = static_cast<size_t>(nSlot);
    JoinWorker(nSlot);
    m_stop[i] = false;
    m_running[i] = true;
    try {
        m_threads[i] = std::thread([this, i, worker] {
            RaiseCurrentThreadPriority();
            {
                CStopScope stop(&m_stop[i]);
                worker(&contexts[i]);
            }
            // After every message of the worker, as its posts keep their order.
            PostSlotMessage(contexts[i].pWindow, WM_WORKER_ENDED, 0,
                            MakeSlotLParam(static_cast<int>(i), 0));
            m_running[i] = false;
        });
    } catch (const std::system_error& e) {
        m_running[i] = false;
        platform::Diag("slot", std::string("no worker thread: ") + e.what());
        return false;
    }
    return true;
}

void CFleetSlots::JoinWorker(int nSlot) {
    std::thread& t = m_threads[static_cast<size_t>(nSlot)];
    if (t.joinable()) {
        t.join();
    }
}

void CFleetSlots::JoinAll() {
    for (int i = 0; i < kSlotCount; ++i) {
        JoinWorker(i);
    }
}

bool CFleetSlots::WorkerRunning(int nSlot) const {
    return m_running[static_cast<size_t>(nSlot)].load();
}

bool CFleetSlots::StopAll(std::chrono::milliseconds bound) {
    for (std::atomic<bool>& stop : m_stop) {
        stop = true;
    }
    const auto end = std::chrono::steady_clock::now() + bound;
    bool bAllEnded = false;
    while (!bAllEnded) {
        bAllEnded = std::none_of(m_running.begin(), m_running.end(),
                                 [](const std::atomic<bool>& r) { return r.load(); });
        if (bAllEnded || std::chrono::steady_clock::now() >= end) {
            break;
        }
        std::this_thread::sleep_for(kStopSlice);
    }
    for (int i = 0; i < kSlotCount; ++i) {
        if (!WorkerRunning(i)) {
            JoinWorker(i);
        }
    }
    if (!bAllEnded) {
        platform::Diag("slot", "a worker did not end within the stop bound");
    }
    return bAllEnded;
}

int32_t CFleetSlots::NextStagger() {
    return static_cast<int32_t>(m_rng() % 10);
}

namespace {

void Tell(const SlotStartRequest& request, const std::string& text) {
    if (request.pPrompts != nullptr) {
        request.pPrompts->MessageBox(text, platform::MsgButtons::Ok, platform::MsgIcon::None);
    } else {
        platform::Diag("slot", text);
    }
}

void Log(const SlotStartRequest& request, const std::string& text) {
    if (request.fnLog) {
        request.fnLog(text);
    }
}

// The files worker reads what the operator chose; the container worker sets
// its own flags and must find no table of an earlier job.
void FillFilesMode(SlotContext& ctx, CImageSelection* pSelection, bool bFilesMode) {
    ctx.bEboot = 0;
    ctx.bPda = 0;
    ctx.pEbootFile = nullptr;
    ctx.regions.clear();
    if (!bFilesMode || pSelection == nullptr) {
        return;
    }
    const size_t slot = static_cast<size_t>(ctx.nSlot);
    ctx.bEboot = pSelection->EbootChosen() ? 1 : 0;
    ctx.pEbootFile = &pSelection->EbootFile(ctx.nSlot);
    for (size_t r = 0; r < pSelection->RegionCount(); ++r) {
        RegionSelection& region = pSelection->Region(r);
        RegionEntry entry;
        entry.pImageFile = &region.files[slot];
        entry.bEnabled = region.bChosen ? 1 : 0;
        entry.nStartOffset = static_cast<int32_t>(region.regionStart);
        entry.nEndOffset = static_cast<int32_t>(region.regionEnd);
        entry.nExpectedChecksum = region.regionChecksum;
        ctx.regions.push_back(entry);
        ctx.bPda = ctx.bPda != 0 || region.bChosen ? 1 : 0;
    }
}

}  // namespace

bool PdaImagesChosen(const CImageSelection* pSelection) {
    if (pSelection == nullptr) {
        return false;
    }
    bool bChosen = pSelection->EbootChosen();
    for (size_t r = 0; r < pSelection->RegionCount(); ++r) {
        bChosen = bChosen || pSelection->Region(r).bChosen;
    }
    return bChosen;
}

namespace {

// What the program file says: its profile index and whether it carries a container.
struct ProgramFacts {
    bool bIndexRead = false;
    uint32_t nProfileIndex = 0;
    bool bPacked = false;
};

ProgramFacts ReadProgramFacts(const std::string& strPath) {
    ProgramFacts facts;
    CImageFile program;
    ContainerTrailer trailer;
    facts.bIndexRead =
        program.Open(strPath) && ReadContainerProfileIndex(program, facts.nProfileIndex);
    facts.bPacked =
        facts.bIndexRead && ReadContainerTrailer(program, trailer) && trailer.HasMagic();
    return facts;
}

// Why a start with this program file cannot go ahead; empty when it can.
std::string Refusal(const SlotStartRequest& request, const ProgramFacts& facts) {
    if (!facts.bIndexRead) {
        return platform::Format("Cannot read the platform profile index from %s.",
                                request.strProgramPath.c_str());
    }
    if (facts.nProfileIndex >= request.profiles.size()) {
        return platform::Format(
            "The program file names platform profile %u, but there are only profiles 0 to %d. "
            "Pack the program with a valid profile.",
            facts.nProfileIndex, static_cast<int>(request.profiles.size()) - 1);
    }
    if (request.nPlatformRow < 0 ||
        static_cast<size_t>(request.nPlatformRow) >= request.profiles.size()) {
        return "Choose a platform first.";
    }
    // Without a container the last 4 bytes are whatever the program ends
    // with; when they name another platform than the chosen one, the job
    // would write that platform's areas.
    if (!facts.bPacked && facts.nProfileIndex != static_cast<uint32_t>(request.nPlatformRow)) {
        return platform::Format(
            "%s carries no image container and its last 4 bytes name platform profile %u, not "
            "the chosen platform (%d). Pack the program with fleet_pack, or choose that "
            "platform.",
            request.strProgramPath.c_str(), facts.nProfileIndex, request.nPlatformRow);
    }
    if (WorkerOf(request, facts.bPacked) == nullptr) {
        return "This program has no worker for the chosen platform.";
    }
    return {};
}

}  // namespace

bool UsesContainerWorker(const SlotStartRequest& request, bool bPacked) {
    // Image files the operator chose are written by the files worker when
    // the program carries no container: the container worker would find
    // none and report the job done without them.
    return request.nPlatformRow >= 0 &&
           static_cast<size_t>(request.nPlatformRow) < request.profiles.size() &&
           request.profiles[static_cast<size_t>(request.nPlatformRow)].containerMode != 0 &&
           (bPacked || !PdaImagesChosen(request.pSelection));
}

SlotWorker WorkerOf(const SlotStartRequest& request, bool bPacked) {
    return UsesContainerWorker(request, bPacked) ? request.containerWorker : request.filesWorker;
}

std::string StartRefusal(const CFleetSlots& slots, const SlotStartRequest& request) {
    if (std::none_of(slots.states.begin(), slots.states.end(),
                     [](int32_t n) { return n == kSlotReady; })) {
        return {};  // nothing to start: the start goes ahead and starts nothing
    }
    return Refusal(request, ReadProgramFacts(request.strProgramPath));
}

SlotStartResult StartReadySlots(CFleetSlots& slots, const SlotStartRequest& request) {
    SlotStartResult result;
    const ProgramFacts facts = ReadProgramFacts(request.strProgramPath);

    for (int i = 0; i < kSlotCount; ++i) {
        const size_t s = static_cast<size_t>(i);
        if (slots.states[s] != kSlotReady) {
            continue;
        }
        // Checked at the first ready slot: a start with nothing to start
        // still completes as before.
        if (result.nStarted == 0) {
            const std::string refusal = Refusal(request, facts);
            if (!refusal.empty()) {
                Tell(request, refusal);
                result.outcome = StartOutcome::Refused;
                return result;
            }
        }
        const bool bContainer = UsesContainerWorker(request, facts.bPacked);
        const uint32_t profileIndex = facts.nProfileIndex;
        const SlotWorker worker = WorkerOf(request, facts.bPacked);

        slots.JoinWorker(i);  // the context is the slot's again only when its worker is gone
        SlotContext& ctx = slots.contexts[s];
        ctx.nSlot = i;
        ctx.nStagger = slots.NextStagger();
        ctx.pWindow = request.pWindow;
        ctx.pPdaPort = &slots.pdaPorts[s];
        ctx.pPhonePort = &slots.phonePorts[s];
        ctx.nPhoneFlag = request.options.bPhoneChosen ? 1 : 0;
        ctx.nPhoneMode = request.options.bPhoneBootloaderUpdate ? 3 : 1;
        ctx.pProfile = &request.profiles[profileIndex];
        if (!ctx.programFile.Open(request.strProgramPath)) {
            Tell(request, kProgramFileOpenError);
            slots.pdaPorts[s].Close();
            result.outcome = StartOutcome::Abandoned;
            return result;
        }
        ctx.pPhoneImage = request.pSelection != nullptr ? &request.pSelection->Phone() : nullptr;
        ctx.strDeviceName = slots.deviceNames[s];
        ctx.pPhoneComNumber = &slots.phoneComNumbers[s];
        ctx.nLaunchFlag = request.options.bMultiDownload ? 0 : 1;
        ctx.nPhoneInit = request.options.bPhoneInit ? 1 : 0;
        FillFilesMode(ctx, request.pSelection, !bContainer);

        Log(request, platform::Format("PDA %d starts downloading...\r\n", i + 1));
        if (!slots.StartWorker(i, worker)) {
            ctx.programFile.Close();
            Tell(request, platform::Format("The worker of PDA %d could not be started.", i + 1));
            result.outcome = StartOutcome::Abandoned;
            return result;
        }
        slots.states[s] = kSlotDownloading;
        slots.busy[s] = 1;
        --slots.nFreeCount;
        ++result.nStarted;
        if (request.fnStarted) {
            request.fnStarted(i);
        }
        if (request.fnWait) {
            request.fnWait(request.interval);
        } else {
            std::this_thread::sleep_for(request.interval);
        }
    }
    return result;
}

}  // namespace fleet
