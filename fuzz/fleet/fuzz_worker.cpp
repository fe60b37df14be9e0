// A slot's whole job fed arbitrary device replies on both its ports. The
// window's start runs a worker (container or files mode, with or without the
// phone phase) against the simulated fleet handset in this process, with
// every pause of the protocol scaled to nothing and short reply bounds; the
// input is the images and options of the job and a tape that, reply by
// reply, lets the handset's reply through, flips a bit of it, drops it, adds
// bytes, cuts it short, replaces it or unplugs the handset, and may make the
// modem port late or missing.
//
// Invariants: the job ends (a hang is libFuzzer's time-out) with exactly one
// ending code; when nothing on the line was touched it finishes, and every
// finished job has left the handset holding the images byte for byte unless
// a reply was forged; a finish after the handset refused something that
// nobody forged is a host fault.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
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
#include "fleet/transport/slot_messages.h"
#include "fleet/transport/tty_device.h"
#include "fleet/worker/download_from_container.h"
#include "fleet/worker/download_from_files.h"
#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/scratch_dir.h"
#include "platform/scripted_prompts.h"
#include "sim/common/reply_chaos.h"
#include "sim/fleet/fleet_handset.h"
#include "tests/support/recording_sink.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The tape's verdict on each reply of the handset, taken on its thread.
class CTapeChaos : public simchaos::IReplyChaos {
  public:
    explicit CTapeChaos(Bytes tape) : m_tape(std::move(tape)) {}

    simchaos::Fault OnReply(Bytes& reply, std::string& strTrace) override {
        fuzzsupport::CFuzzInput in(m_tape.data() + m_nPos, m_tape.size() - m_nPos);
        const simchaos::Fault fault = Decide(in, reply);
        m_nPos = m_tape.size() - in.Left();
        strTrace = fault == simchaos::Fault::None
                       ? ""
                       : std::string("tape: ") + simchaos::FaultName(fault);
        if (fault != simchaos::Fault::None) {
            m_bTouched = true;
        }
        return fault;
    }
    int ModemPortDelay(int nUsualMs, std::string& strTrace) override {
        fuzzsupport::CFuzzInput in(m_tape.data() + m_nPos, m_tape.size() - m_nPos);
        const uint8_t op = in.Byte();
        int delay = nUsualMs;
        if (op >= 0xF0) {
            m_bTouched = true;
            delay = op % 2 == 0 ? -1 : static_cast<int>(in.Range(0, 600));
            strTrace = "tape: the modem port " + std::string(delay < 0 ? "never comes" : "is late");
        }
        m_nPos = m_tape.size() - in.Left();
        return delay;
    }
    bool Touched() const { return m_bTouched; }

  private:
    static simchaos::Fault Decide(fuzzsupport::CFuzzInput& in, Bytes& reply) {
        const uint8_t op = in.Byte();
        if (op < 0xC0 || reply.empty()) {
            return simchaos::Fault::None;
        }
        switch (op % 6) {
            case 0: {
                const size_t at = in.U16() % reply.size();
                reply[at] = static_cast<uint8_t>(reply[at] ^ (1u << (in.Byte() % 8)));
                return simchaos::Fault::FlipBit;
            }
            case 1:
                reply.clear();
                return simchaos::Fault::Drop;
            case 2: {
                const Bytes extra = in.Bytes(in.Range(1, 8));
                reply.insert(reply.end(), extra.begin(), extra.end());
                return simchaos::Fault::Extra;
            }
            case 3:
                reply.resize(in.U16() % reply.size());
                return simchaos::Fault::Cut;
            case 4:
                reply = in.ShortBytes();
                return simchaos::Fault::FlipBit;
            default:
                if (in.Byte() % 4 == 0) {
                    reply.clear();
                    return simchaos::Fault::Unplug;
                }
                return simchaos::Fault::None;
        }
    }

    Bytes m_tape;
    size_t m_nPos = 0;
    std::atomic<bool> m_bTouched{false};
};

constexpr size_t kPhonePatternSize = 4099;

struct Message {
    uint32_t nMsg;
    uint32_t nCode;
    uint32_t nArgument;
};

bool IsEnding(const Message& m) {
    if (m.nMsg == fleet::WM_PDA_PROGRESS) {
        switch (m.nCode) {
            case fleet::kPdaReadError:
            case fleet::kPdaChecksumWrong:
            case fleet::kPdaWriteFailed:
            case fleet::kPdaJobFinished:
            case fleet::kPdaLaunchFailed:
            case fleet::kPdaSignatureFailed:
                return true;
            default:
                return false;
        }
    }
    switch (m.nCode) {
        case fleet::kPhonePortOpenFailed:
        case fleet::kPhoneDownloadStartFailed:
        case fleet::kPhoneJumpFailed:
        case fleet::kPhoneAreaEraseFailed:
        case fleet::kPhoneWriteFailed:
            return true;
        default:
            return false;
    }
}

// The phone image as an area of the modem must hold it: 0xFF past the file.
Bytes PhoneSlice(const Bytes& phone, size_t start, size_t length) {
    Bytes out(length, 0xFF);
    for (size_t i = 0; i < length && start + i < phone.size(); ++i) {
        out[i] = phone[start + i];
    }
    return out;
}

// Whether the handset refused or failed anything it was sent.
bool HandsetRefused(const fleetsim::CSimHandset& h) {
    const fleetsim::PdaRecord pda = h.Pda();
    bool bRefused = pda.nRefused > 0 || pda.nFailAcks > 0 ||
                    h.Stream().state == fleetsim::StreamRecord::State::Failed;
    for (const fleetsim::ProgramRun& run : pda.programs) {
        bRefused = bRefused || run.bFailed;
    }
    const fleetsim::ModemRecord modem = h.Modem();
    bRefused = bRefused || modem.nNaks > 0 || modem.nBadFrames > 0;
    for (const fleetsim::ModemAreaRecord& area : modem.areas) {
        bRefused = bRefused || area.nRefusedBlocks > 0;
    }
    return bRefused;
}

void Settle() {
    static bool bDone = false;
    if (bDone) {
        return;
    }
    bDone = true;
    // The ports report their tries on stdout, as detection does: not here.
    std::fflush(stdout);
    FUZZ_CHECK(freopen("/dev/null", "w", stdout) != nullptr, "stdout quiet");
    fleet::SetPauseScale(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    Settle();
    fuzzsupport::CFuzzInput in(pData, nSize);
    const std::string root = fuzzsupport::ScratchPath("worker");
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(root + "/dev", ec);
    const std::string dev = root + "/dev";

    // --- the job ---
    std::vector<fleet::PlatformProfile> profiles = fleet::BuildPlatformProfiles();
    const int row = static_cast<int>(in.Byte() % profiles.size());
    const uint8_t flags = in.Byte();
    const bool bFiles = (flags & 1) != 0;
    const bool bPhone = (flags & 2) != 0;
    const bool bAllAreas = (flags & 4) != 0;
    const bool bPhoneInit = (flags & 8) != 0;
    const bool bMulti = (flags & 16) != 0;
    // Files mode always sends an EBOOT.
    const bool bEboot = (flags & 32) == 0 || bFiles;
    const bool bB000ff = (flags & 64) == 0 && !bFiles;
    const auto answers = static_cast<fleetsim::AnswerStyle>(in.Byte() % 3);
    // Both workers, the packer and the picker take an EBOOT of exactly the
    // partition's length.
    const uint32_t nEboot = profiles[static_cast<size_t>(row)].ebootLength;
    const Bytes eboot = fleet::PatternBytes(nEboot, in.U32());
    const uint32_t nLastRecord = in.Range(1, 6000);
    const size_t nFlatData = in.Range(1, 20000);
    const uint32_t nZeroTail = in.Range(0, 3000);
    const uint32_t nPdaSeed = in.U32();
    const Bytes pda = bB000ff ? fleet::BuildB000ffImage(0, nLastRecord, nPdaSeed)
                              : fleet::BuildFlatImage(nFlatData, nZeroTail, nPdaSeed);
    // Long enough for every area the phone phase writes.
    size_t need = 0;
    const auto& areas = profiles[static_cast<size_t>(row)].phoneAreas;
    for (size_t r = 0; r < (bAllAreas ? areas.size() : std::min<size_t>(2, areas.size())); ++r) {
        if (areas[r].areaType != 8) {
            need = std::max<size_t>(
                need,
                areas[r].m_dwStartAddr +
                    (areas[r].writeLength == fleet::kPhoneWriteToEnd ? 1 : areas[r].writeLength));
        }
    }
    const size_t nPhone = need + in.Range(0, 4096);
    // Pattern where the areas are, zeros elsewhere: no time spent on bytes
    // that are never sent.
    Bytes phone(nPhone, 0);
    {
        const Bytes pattern = fleet::PatternBytes(kPhonePatternSize, in.U32());
        for (size_t r = 0; r < areas.size(); ++r) {
            const size_t start = areas[r].m_dwStartAddr;
            const size_t end = areas[r].writeLength == fleet::kPhoneWriteToEnd
                                   ? nPhone
                                   : std::min<size_t>(nPhone, start + areas[r].writeLength);
            for (size_t i = start; i < end; ++i) {
                phone[i] = pattern[(i * 7 + r) % pattern.size()];
            }
        }
    }

    // --- the handset ---
    const Bytes tape = in.Rest();
    // A tape without a byte that makes a fault lets every reply through: the
    // job must then finish, and the bounds on the waits are generous so that
    // a loaded machine cannot fail it. Otherwise they are short, for speed.
    const bool bQuiet = std::none_of(tape.begin(), tape.end(), [](uint8_t b) { return b >= 0xC0; });
    auto chaos = std::make_shared<CTapeChaos>(tape);
    fleetsim::CSimHandset::Config config;
    config.strSerial = "FZ0001";
    config.strDir = dev;
    config.settings.nModemDelayMs = 0;
    config.settings.nVerifyDelayMs = 0;
    config.settings.nSignatureDelayMs = 0;
    config.settings.answers = answers;
    config.pChaos = chaos;
    fleetsim::CSimHandset handset(config);
    std::string error;
    FUZZ_CHECK(handset.Start(error), "the handset starts");

    fleet::PhoneSettings phoneSettings;
    phoneSettings.modem.strFolder = dev;
    phoneSettings.modemPortWait = bQuiet ? 10000ms : 300ms;
    phoneSettings.answerWait = bQuiet ? 5000ms : 40ms;
    phoneSettings.eraseAnswerWait = bQuiet ? 5000ms : 60ms;
    fleet::SetPhoneSettings(phoneSettings);

    // --- the window's side: the images chosen, the slot detected ---
    platform::CScriptedPrompts prompts;
    fleet::CImageSelection selection(prompts, [](const std::string&) {});
    if (bFiles) {
        profiles[static_cast<size_t>(row)].containerMode = 0;
    }
    selection.UseProfiles(profiles);
    selection.OnPlatformSelected(row + 1);
    std::string program;
    if (bFiles) {
        fleet::CombinedImageParts parts;
        parts.strPlatform = profiles[static_cast<size_t>(row)].name;
        parts.phone = phone;
        parts.eboot = bEboot ? eboot : Bytes{};
        parts.regions = {pda};
        const std::string img = root + "/job.img";
        FUZZ_CHECK(fuzzsupport::WriteFileBytes(img, fleet::BuildCombinedImage(parts)),
                   "job written");
        prompts.m_openAnswers.push_back(img);
        FUZZ_CHECK(selection.SetCombinedChosen(true), "the combined image is taken");
        Bytes tail(64, 0);
        tail[60] = static_cast<uint8_t>(row);
        program = root + "/program_files";
        FUZZ_CHECK(fuzzsupport::WriteFileBytes(program, tail), "program written");
    } else {
        FUZZ_CHECK(
            fuzzsupport::WriteFileBytes(root + "/stand_in", fleet::PatternBytes(0x1000, 9)) &&
                fuzzsupport::WriteFileBytes(root + "/eboot.nb0", eboot) &&
                fuzzsupport::WriteFileBytes(root + "/pda.bin", pda),
            "container parts written");
        fleet::PackRequest request;
        request.strProgram = root + "/stand_in";
        request.strEboot = bEboot ? root + "/eboot.nb0" : std::string();
        request.strPda = root + "/pda.bin";
        request.strOut = root + "/program";
        request.nProfile = static_cast<uint32_t>(row);
        fleet::ContainerTrailer trailer;
        FUZZ_CHECK(fleet::PackProgram(request, trailer, error), "the container packs");
        program = request.strOut;
        if (bPhone) {
            FUZZ_CHECK(fuzzsupport::WriteFileBytes(root + "/phone.bin", phone), "phone written");
            prompts.m_openAnswers.push_back(root + "/phone.bin");
            FUZZ_CHECK(selection.SetImageChosen(fleet::kImagePhone, true),
                       "the phone image is taken");
        }
    }

    fleet::CFleetSlots slots;
    testsupport::CRecordingSink sink;
    fleet::UsbPortTiming timing;
    timing.blockingBound = 10000ms;
    slots.pdaPorts[0].SetTiming(timing);
    slots.phonePorts[0].SetSettleTime(0ms);
    fleet::DeviceInterfaceClass cls;
    cls.strFolder = dev;
    FUZZ_CHECK(slots.pdaPorts[0].Open(cls, 0), "detection opens the PDA port");
    // Detection's handshake: A T U D answered by O K U D.
    const uint8_t handshake[4] = {'A', 'T', 'U', 'D'};
    uint8_t accepted[4] = {};
    FUZZ_CHECK(slots.pdaPorts[0].Write(handshake, 4) == 4 &&
                   slots.pdaPorts[0].Read(accepted, 4, 1) == 4 &&
                   std::equal(accepted, accepted + 4, "OKUD"),
               "the handset answers the detection handshake");
    timing.blockingBound = bQuiet ? 10000ms : 50ms;
    slots.pdaPorts[0].SetTiming(timing);
    slots.states[0] = fleet::kSlotReady;
    slots.deviceNames[0] = "usb-Sim_Handset_FZ0001";

    // The window's watch for the modem port.
    std::atomic<bool> bWatch{true};
    std::thread watcher([&] {
        const std::string link = handset.ModemLinkPath();
        while (bWatch) {
            if (fuzzsupport::FileExists(link)) {
                slots.phoneComNumbers[0] = static_cast<int32_t>(fleet::tty::PortNumberOfTty(link));
                fleet::g_phonePortEvents[0].Set();
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
    });

    fleet::SlotStartRequest request;
    request.strProgramPath = program;
    request.profiles = profiles;
    request.nPlatformRow = row;
    request.pSelection = &selection;
    request.options.bPhoneChosen = bPhone;
    request.options.bPhoneBootloaderUpdate = bAllAreas;
    request.options.bPhoneInit = bPhoneInit;
    request.options.bMultiDownload = bMulti;
    request.pWindow = &sink;
    request.containerWorker = fleet::DownloadFromContainerThread;
    request.filesWorker = fleet::DownloadFromFilesThread;
    request.interval = 0ms;
    const fleet::SlotStartResult started = fleet::StartReadySlots(slots, request);
    FUZZ_CHECK(started.nStarted == 1, "the worker starts");
    slots.JoinWorker(0);
    bWatch = false;
    watcher.join();
    // The handset takes in what the worker wrote last before it sees the
    // ports close: only then does it hold what it was sent.
    for (int i = 0; i < 2000 && (handset.PdaHostConnected() || handset.ModemHostConnected()); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    handset.Stop();
    fleet::SetPhoneSettings({});

    // --- what the worker said ---
    std::vector<Message> messages;
    platform::WindowMessage msg;
    while (sink.WaitNext(msg, 0ms)) {
        if (fleet::AdoptSlotLogText(msg)) {  // a slot log or window text, now freed
            continue;
        }
        messages.push_back(
            {msg.nMsg, static_cast<uint32_t>(msg.wParam), fleet::ArgumentOfLParam(msg.lParam)});
    }
    size_t nEndings = 0;
    bool bFinished = false;
    for (const Message& m : messages) {
        if (IsEnding(m)) {
            ++nEndings;
            bFinished = m.nMsg == fleet::WM_PDA_PROGRESS && m.nCode == fleet::kPdaJobFinished;
        }
    }
    if (std::getenv("ORIEL_FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "worker:");
        for (const Message& m : messages) {
            std::fprintf(stderr, " %s%u(%u)", m.nMsg == fleet::WM_PDA_PROGRESS ? "" : "ph", m.nCode,
                         m.nArgument);
        }
        std::fprintf(stderr, "\n");
        for (const std::string& line : handset.Log()) {
            std::fprintf(stderr, "  %s\n", line.c_str());
        }
    }
    FUZZ_CHECK(nEndings == 1, "a job ends with exactly one ending code");
    const bool bTouched = chaos->Touched();
    const bool bRefused = HandsetRefused(handset);
    FUZZ_CHECK(!bQuiet || bFinished, "a job nothing was done to finishes");
    FUZZ_CHECK(!bFinished || bTouched || !bRefused, "no finish after the handset refused a step");
    if (bFinished && !bRefused) {
        if (bFiles) {
            // Files mode sends EBOOT to RAM only: no programming of its partition.
            FUZZ_CHECK(handset.Eboot().empty(), "files mode leaves the EBOOT partition alone");
        } else if (bEboot) {
            Bytes held = handset.Eboot();
            FUZZ_CHECK(
                held.size() >= eboot.size() && std::equal(eboot.begin(), eboot.end(), held.begin()),
                "a finished job: the EBOOT partition holds the EBOOT");
        }
        const Bytes held = handset.PdaImage();
        if (bB000ff) {
            FUZZ_CHECK(held == pda, "a finished job: the flash holds the B000FF image");
        } else {
            // The data up to its end as the 1008-byte scan finds it: some of
            // the zero tail may go with it, never less than the data.
            FUZZ_CHECK(held.size() >= nFlatData && held.size() <= pda.size() &&
                           std::equal(held.begin(), held.end(), pda.begin()),
                       "a finished job: the flash holds the image's data");
        }
        if (bPhone) {
            const size_t size = (phone.size() + 1023) / 1024 * 1024;
            for (size_t r = 0; r < (bAllAreas ? areas.size() : std::min<size_t>(2, areas.size()));
                 ++r) {
                const fleet::PhoneArea& area = areas[r];
                if (area.areaType == 8) {
                    continue;
                }
                const size_t length = area.writeLength == fleet::kPhoneWriteToEnd
                                          ? size - area.m_dwStartAddr
                                          : area.writeLength;
                FUZZ_CHECK(handset.ModemArea(area.m_dwStartAddr) ==
                               PhoneSlice(phone, area.m_dwStartAddr, length),
                           "a finished job: every modem area holds its part of the phone image");
            }
        }
    }
    return 0;
}
