#pragma once
// The window's per-slot objects that workers borrow, and the start of the
// workers: the profile index read once from the program file, then for each
// ready slot in slot order its context, its own handle on the program file
// and its thread, 400 ms apart.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <thread>

#include "fleet/images/program_file.h"
#include "fleet/images/slots.h"
#include "fleet/transport/com_port.h"
#include "fleet/transport/slot_context.h"
#include "fleet/transport/usb_device_port.h"

namespace platform {
class IMessageSink;
class IPrompts;
}  // namespace platform

namespace fleet {

class CImageSelection;
struct PlatformProfile;

enum SlotState : int32_t {
    kSlotEmpty = 0,
    kSlotReady = 1,
    kSlotDownloading = 2,
    kSlotFinished = 3,
    kSlotFailed = 4,
};

constexpr std::chrono::milliseconds kWorkerStartInterval{400};
// How long a quit waits for the workers it asked to stop.
constexpr std::chrono::milliseconds kWorkerStopBound{5000};
constexpr char kProgramFileOpenError[] = " Cfile open error. Re run program plz..";

class CFleetSlots {
  public:
    CFleetSlots();
    // Waits for workers still running: they borrow these objects.
    ~CFleetSlots();
    CFleetSlots(const CFleetSlots&) = delete;
    CFleetSlots& operator=(const CFleetSlots&) = delete;

    // Runs the worker on its own thread with the slot's context; false when
    // no thread can be made. An earlier worker of the slot is waited for first.
    bool StartWorker(int nSlot, SlotWorker worker);
    void JoinWorker(int nSlot);
    void JoinAll();
    bool WorkerRunning(int nSlot) const;
    // Asks every running worker to stop (its waits end at once, its writes
    // fail, so it posts a failing code and ends) and waits up to the bound
    // for all of them; true when none runs any more. Workers that ended are
    // joined; a port is the slot's again only once its worker has ended.
    bool StopAll(std::chrono::milliseconds bound);
    // 0..9, from a generator seeded with the time at construction.
    int32_t NextStagger();

    std::array<SlotContext, kSlotCount> contexts;
    std::array<UsbDevicePort, kSlotCount> pdaPorts;
    std::array<ComPort, kSlotCount> phonePorts;
    // Window thread only.
    std::array<int32_t, kSlotCount> states{};
    std::array<int32_t, kSlotCount> busy{};
    std::array<std::string, kSlotCount> deviceNames;
    int32_t nFreeCount = kSlotCount;
    // Written by the window thread, read by the slot's worker.
    std::array<std::atomic<int32_t>, kSlotCount> phoneComNumbers{};

  private:
    std::array<std::thread, kSlotCount> m_threads;
    std::array<std::atomic<bool>, kSlotCount> m_running{};
    std::array<std::atomic<bool>, kSlotCount> m_stop{};
    std::minstd_rand m_rng;
};

// What the window's controls say at the start.
struct SlotStartOptions {
    bool bPhoneChosen = false;
    bool bPhoneBootloaderUpdate = false;
    bool bMultiDownload = false;
    bool bPhoneInit = false;
};

struct SlotStartRequest {
    std::string strProgramPath = ProgramFilePath();
    // The profile table; the container's index picks the workers' row.
    std::span<const PlatformProfile> profiles;
    // The platform list's row: its container mode chooses the worker.
    int nPlatformRow = -1;
    // Files-mode images and the phone image; may be null (nothing chosen).
    CImageSelection* pSelection = nullptr;
    SlotStartOptions options;
    platform::IMessageSink* pWindow = nullptr;
    platform::IPrompts* pPrompts = nullptr;
    std::function<void(const std::string&)> fnLog;  // the main log
    SlotWorker containerWorker = nullptr;
    SlotWorker filesWorker = nullptr;
    std::chrono::milliseconds interval = kWorkerStartInterval;
    // Told of each slot as its worker starts, before the wait for the next.
    std::function<void(int nSlot)> fnStarted;
    // Spends the interval between two starts; by default the thread sleeps.
    // A caller that must keep taking its workers' messages meanwhile (a
    // command line timing every event) passes its own.
    std::function<void(std::chrono::milliseconds)> fnWait;
};

enum class StartOutcome {
    Completed,  // every ready slot started (possibly none)
    Refused,    // nothing started: no usable profile (the operator was told)
    Abandoned,  // stopped at a slot whose program file would not open (told)
};

struct SlotStartResult {
    StartOutcome outcome = StartOutcome::Completed;
    int nStarted = 0;
};

// Starts the worker of every ready slot: the container worker when the
// platform row is in container mode, unless the program carries no container
// and the operator chose EBOOT or PDA image files; then the files worker.
SlotStartResult StartReadySlots(CFleetSlots& slots, const SlotStartRequest& request);

// Whether the selection holds an EBOOT or a PDA region image.
bool PdaImagesChosen(const CImageSelection* pSelection);
// Whether the start runs the container worker (else the files worker), for
// a program file that does or does not carry a container.
bool UsesContainerWorker(const SlotStartRequest& request, bool bPacked);
SlotWorker WorkerOf(const SlotStartRequest& request, bool bPacked);
// Why StartReadySlots would refuse the start (the program file's profile
// index unreadable or outside the table, no platform chosen, an unpacked
// program naming another platform, no worker), for the operator; empty when
// it would go ahead (also when no slot is ready). Nothing is changed.
std::string StartRefusal(const CFleetSlots& slots, const SlotStartRequest& request);

}  // namespace fleet
