#pragma once
// One slot's whole job against the simulated handset: the simulator on
// pseudo-terminals in a scratch folder, the slot objects of the window, the
// start of the worker through StartReadySlots, and the window's two parts
// that are not built here yet: detection (the slot's PDA port opened on the
// handset's link) and the modem port's arrival (its tty number recorded and
// the slot's event set when its link appears).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fleet/images/image_selection.h"
#include "fleet/images/platform_profile.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/phone/phone_phase.h"
#include "fleet/tools/mkimg.h"
#include "fleet/tools/pack.h"
#include "fleet/transport/slot_events.h"
#include "fleet/transport/slot_launch.h"
#include "fleet/transport/tty_device.h"
#include "fleet/worker/download_from_container.h"
#include "fleet/worker/download_from_files.h"
#include "platform/scripted_prompts.h"
#include "sim/fleet/fleet_handset.h"
#include "tests/fleet/pda/pda_wire.h"
#include "tests/fleet/sim_job.h"
#include "tests/fleet/temp_dir.h"
#include "tests/support/pty_pair.h"

namespace fleettest {

using namespace std::chrono_literals;

// Test images for profile row 2 (MTX-Juniper).
struct JobImages {
    std::vector<uint8_t> eboot = fleet::PatternBytes(0x30000, 1);
    std::vector<uint8_t> pda;
    std::vector<uint8_t> phone;
};

class CWorkerRig {
  public:
    static constexpr int kRow = 2;

    explicit CWorkerRig(fleetsim::HandsetSettings settings = Quick(),
                        std::vector<fleetsim::Fault> faults = {})
        : m_profiles(fleet::BuildPlatformProfiles()),
          m_selection(m_prompts, [](const std::string&) {}) {
        fleet::SetPauseScale(0.01);
        fleet::PhoneSettings phone;
        phone.modem.strFolder = DevDir();
        phone.modemPortWait = 3000ms;
        phone.answerWait = 1000ms;
        phone.eraseAnswerWait = 2000ms;
        fleet::SetPhoneSettings(phone);

        fleetsim::FleetOptions options;
        options.strDir = DevDir();
        options.strStoreDir = m_dir.File("store");
        options.nCount = 1;
        options.settings = settings;
        options.faults = std::move(faults);
        options.fnLog = [this](int, const std::string& line, bool) {
            std::lock_guard<std::mutex> lock(m_logLock);
            m_simLog.push_back(line);
        };
        m_fleet = std::make_unique<fleetsim::CHandsetFleet>(options);
        std::string error;
        EXPECT_TRUE(m_fleet->Start(error)) << error;
        m_selection.LoadPlatformProfiles();
    }
    ~CWorkerRig() {
        m_bWatch = false;
        if (m_watcher.joinable()) {
            m_watcher.join();
        }
        slots.JoinAll();
        m_fleet->Stop();
        fleet::SetPauseScale(1.0);
        fleet::SetPhoneSettings({});
    }
    CWorkerRig(const CWorkerRig&) = delete;
    CWorkerRig& operator=(const CWorkerRig&) = delete;

    static fleetsim::HandsetSettings Quick() { return QuickHandset(); }

    std::string DevDir() const { return m_dir.File("dev"); }
    fleetsim::CSimHandset& Handset() { return m_fleet->Handset(0); }
    std::vector<std::string> SimLog() {
        std::lock_guard<std::mutex> lock(m_logLock);
        return m_simLog;
    }

    // Detection: the slot's PDA port on the handset's link, the slot ready.
    void Attach(std::chrono::milliseconds replyBound = 2000ms) {
        fleet::DeviceInterfaceClass cls;
        cls.strFolder = DevDir();
        fleet::UsbPortTiming timing;
        timing.blockingBound = replyBound;
        slots.pdaPorts[0].SetTiming(timing);
        ::testing::internal::CaptureStdout();
        EXPECT_TRUE(slots.pdaPorts[0].Open(cls, 0));
        ::testing::internal::GetCapturedStdout();
        slots.states[0] = fleet::kSlotReady;
        slots.deviceNames[0] = "usb-Sim_Handset_" + Handset().Serial();
    }

    // The window's watch for the modem port, until the rig goes: the port's
    // number learnt and, unless bWake is false (the slot no longer watches),
    // the slot's event set.
    void WatchModemPort(bool bWake = true) {
        m_bWatch = true;
        m_watcher = std::thread([this, bWake] {
            const std::string link = Handset().ModemLinkPath();
            while (m_bWatch) {
                struct stat st {};
                if (lstat(link.c_str(), &st) == 0) {
                    slots.phoneComNumbers[0] =
                        static_cast<int32_t>(fleet::tty::PortNumberOfTty(link));
                    if (bWake) {
                        fleet::g_phonePortEvents[0].Set();
                    }
                    return;
                }
                std::this_thread::sleep_for(5ms);
            }
        });
    }

    // The program file with its container: a stand-in executable, the EBOOT
    // and the PDA image, profile row 2 (of the trailer, the PDA offset is kept).
    std::string PackContainer(const JobImages& images, bool bEboot = true) {
        return PackTestProgram(m_dir, bEboot ? images.eboot : std::vector<uint8_t>{}, images.pda,
                               "fleet_downloader", kRow, m_trailer.pdaOffset);
    }
    const fleet::ContainerTrailer& Trailer() const { return m_trailer; }

    void ChoosePhone(const std::vector<uint8_t>& phone) {
        m_selection.OnPlatformSelected(kRow + 1);
        m_prompts.m_openAnswers.push_back(m_dir.Write("phone.bin", phone));
        ASSERT_TRUE(m_selection.SetImageChosen(fleet::kImagePhone, true));
    }

    // The operator's combined image for the files worker; the platform row's
    // container mode cleared so that the window starts the files worker
    // whatever the program file (kept: only when the program has no container).
    void ChooseCombined(const JobImages& images, bool bSigned = false,
                        bool bKeepContainerMode = false) {
        m_profiles[kRow].containerMode = bKeepContainerMode ? 1 : 0;
        m_profiles[kRow].signatureMode = bSigned ? 1 : 0;
        m_selection.UseProfiles(m_profiles);
        m_selection.OnPlatformSelected(kRow + 1);
        fleet::CombinedImageParts parts;
        parts.strPlatform = m_profiles[kRow].name;
        parts.nSecurity = bSigned ? 1 : 0;
        parts.phone = images.phone;
        parts.eboot = images.eboot;
        parts.regions = {images.pda};
        m_prompts.m_openAnswers.push_back(m_dir.Write("job.img", fleet::BuildCombinedImage(parts)));
        ASSERT_TRUE(m_selection.SetCombinedChosen(true));
    }

    // "Start downloading" with the slot's options; the program file is
    // the packed one (container) or any file holding the profile index.
    fleet::SlotStartResult Start(const std::string& strProgram, fleet::SlotStartOptions options) {
        fleet::SlotStartRequest request;
        request.strProgramPath = strProgram;
        request.profiles = m_profiles;
        request.nPlatformRow = kRow;
        request.pSelection = &m_selection;
        request.options = options;
        request.pWindow = &sink;
        request.containerWorker = fleet::DownloadFromContainerThread;
        request.filesWorker = fleet::DownloadFromFilesThread;
        request.interval = 0ms;
        fleet::ResetSlotPausedTime(0);
        return fleet::StartReadySlots(slots, request);
    }
    // A program file that only names profile row 2 (files mode).
    std::string ProfileOnlyProgram() {
        std::vector<uint8_t> bytes(64, 0);
        bytes[60] = kRow;
        return m_dir.Write("program_files", bytes);
    }

    // Waits for the worker to end; everything it posted.
    std::vector<Posted> Finish(std::chrono::milliseconds timeout = 120s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (slots.WorkerRunning(0) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_FALSE(slots.WorkerRunning(0)) << "the worker did not end";
        slots.JoinWorker(0);
        return Drain(sink);
    }

    fleet::CFleetSlots slots;
    testsupport::CRecordingSink sink;

  private:
    // tty numbers are port numbers and 0 is no port: a pseudo-terminal held
    // here keeps the handset's ports off /dev/pts/0.
    testsupport::CPtyPair m_holdPts0;
    CTempDir m_dir;
    std::vector<fleet::PlatformProfile> m_profiles;
    platform::CScriptedPrompts m_prompts;
    fleet::CImageSelection m_selection;
    std::unique_ptr<fleetsim::CHandsetFleet> m_fleet;
    std::mutex m_logLock;
    std::vector<std::string> m_simLog;
    std::atomic<bool> m_bWatch{false};
    std::thread m_watcher;
    fleet::ContainerTrailer m_trailer;
};

// The phone image as the modem area at `start` must hold it: from start up to
// the image's size in whole blocks, 0xFF past the file.
inline std::vector<uint8_t> PhoneSlice(const std::vector<uint8_t>& phone, size_t start,
                                       size_t length) {
    std::vector<uint8_t> out(length, 0xFF);
    for (size_t i = 0; i < length && start + i < phone.size(); ++i) {
        out[i] = phone[start + i];
    }
    return out;
}

}  // namespace fleettest
