// The slot contract: message layout, the start of the workers, what each
// worker is handed, and the order in which concurrent workers' messages arrive.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <latch>
#include <mutex>
#include <thread>

#include "fleet/images/container.h"
#include "fleet/images/image_selection.h"
#include "fleet/images/platform_profile.h"
#include "fleet/transport/slot_events.h"
#include "fleet/transport/slot_launch.h"
#include "fleet/transport/slot_messages.h"
#include "platform/event_loop.h"
#include "platform/scripted_prompts.h"
#include "tests/fleet/temp_dir.h"
#include "tests/support/recording_sink.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using fleet::SlotContext;

TEST(SlotMessagesTest, NumbersAndParameterLayout) {
    EXPECT_EQ(fleet::WM_PDA_PROGRESS, 2263u);
    EXPECT_EQ(fleet::WM_PHONE_PROGRESS, 2264u);
    EXPECT_EQ(fleet::WM_SLOT_LOG, 2265u);
    const intptr_t l = fleet::MakeSlotLParam(7, 100);
    EXPECT_EQ(l, 0x00640007);
    EXPECT_EQ(fleet::SlotOfLParam(l), 7);
    EXPECT_EQ(fleet::ArgumentOfLParam(l), 100u);
    EXPECT_EQ(fleet::ArgumentOfLParam(fleet::MakeSlotLParam(0, 0x12345)), 0x2345u)
        << "the argument has 16 bits and never spills into other bits";
}

TEST(SlotMessagesTest, LogTextOutlivesTheWorkersCopy) {
    testsupport::CRecordingSink sink;
    {
        std::string text = "\tDevice-side Checksum: %X\r\n";  // sent as text, never as a format
        fleet::PostSlotLog(&sink, 5, text);
        text.assign(text.size(), '#');
    }
    platform::WindowMessage msg;
    ASSERT_TRUE(sink.WaitNext(msg, 1s));
    EXPECT_EQ(msg.nMsg, fleet::WM_SLOT_LOG);
    EXPECT_EQ(fleet::SlotOfLParam(msg.lParam), 5);
    const std::unique_ptr<char[]> text = fleet::AdoptSlotLogText(msg);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "\tDevice-side Checksum: %X\r\n");
    EXPECT_EQ(fleet::AdoptSlotLogText({fleet::WM_PDA_PROGRESS, 1, 0}), nullptr);
}

TEST(SlotEventsTest, AutoResetEventsWakeOneWaitThenReset) {
    fleet::CAutoResetEvent& event = fleet::g_phonePortEvents[3];
    event.Reset();
    EXPECT_FALSE(event.Wait(10ms));
    event.Set();
    EXPECT_TRUE(event.Wait(0ms));
    EXPECT_FALSE(event.Wait(10ms)) << "one set, one wake-up";

    std::thread arrival([&event] {
        std::this_thread::sleep_for(50ms);
        event.Set();
    });
    const auto started = Clock::now();
    EXPECT_TRUE(event.Wait(5s));
    EXPECT_LT(Clock::now() - started, 2s);
    arrival.join();
}

// What each test worker saw, recorded under a lock.
struct WorkerView {
    int nSlot;
    Clock::time_point started;
    int32_t nStagger;
    const fleet::PlatformProfile* pProfile;
    const fleet::UsbDevicePort* pPdaPort;
    const fleet::ComPort* pPhonePort;
    uint32_t nPhoneFlag, nLaunchFlag, nPhoneInit;
    int32_t nPhoneMode, bEboot, bPda;
    const fleet::CImageFile* pEbootFile;
    std::vector<fleet::RegionEntry> regions;
    const fleet::PhoneBinaryFile* pPhoneImage;
    std::string strDeviceName;
    int32_t nPhoneCom;
    bool bTrailer;
    bool bMagic;
    bool bFilesWorker;
};

std::mutex g_viewLock;
std::vector<WorkerView> g_views;

WorkerView See(SlotContext* ctx, bool bFiles) {
    WorkerView v{};
    v.nSlot = ctx->nSlot;
    v.started = Clock::now();
    v.nStagger = ctx->nStagger;
    v.pProfile = ctx->pProfile;
    v.pPdaPort = ctx->pPdaPort;
    v.pPhonePort = ctx->pPhonePort;
    v.nPhoneFlag = ctx->nPhoneFlag;
    v.nLaunchFlag = ctx->nLaunchFlag;
    v.nPhoneInit = ctx->nPhoneInit;
    v.nPhoneMode = ctx->nPhoneMode;
    v.bEboot = ctx->bEboot;
    v.bPda = ctx->bPda;
    v.pEbootFile = ctx->pEbootFile;
    v.regions = ctx->regions;
    v.pPhoneImage = ctx->pPhoneImage;
    v.strDeviceName = ctx->strDeviceName;
    v.nPhoneCom = ctx->pPhoneComNumber != nullptr ? ctx->pPhoneComNumber->load() : -1;
    fleet::ContainerTrailer t;
    v.bTrailer = fleet::ReadContainerTrailer(ctx->programFile, t);
    v.bMagic = t.HasMagic();
    v.bFilesWorker = bFiles;
    return v;
}

int RecordingWorker(SlotContext* ctx, bool bFiles) {
    WorkerView v = See(ctx, bFiles);
    {
        std::lock_guard<std::mutex> lock(g_viewLock);
        g_views.push_back(std::move(v));
    }
    fleet::PostSlotMessage(ctx->pWindow, fleet::WM_PDA_PROGRESS, fleet::kPdaJobFinished,
                           fleet::MakeSlotLParam(ctx->nSlot, 0));
    return 0;
}
int ContainerWorker(SlotContext* ctx) {
    return RecordingWorker(ctx, false);
}
int FilesWorker(SlotContext* ctx) {
    return RecordingWorker(ctx, true);
}

class SlotStartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_views.clear();
        profiles = fleet::BuildPlatformProfiles();
        programPath = WriteProgram("fleet_downloader", 2);
        request.strProgramPath = programPath;
        request.profiles = profiles;
        request.nPlatformRow = 1;
        request.pWindow = &sink;
        request.pPrompts = &prompts;
        request.fnLog = [this](const std::string& line) { log.push_back(line); };
        request.containerWorker = ContainerWorker;
        request.filesWorker = FilesWorker;
    }

    std::string WriteProgram(const std::string& name, uint32_t profileIndex) {
        fleet::ContainerTrailer t;
        t.magic = fleet::kContainerMagic;
        t.pdaOffset = 4096;
        t.pdaSize = 1000;
        t.profileIndex = profileIndex;
        std::vector<uint8_t> bytes = fleet::PatternBytes(5096, 3);
        const auto trailer = fleet::EncodeContainerTrailer(t);
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        return dir.Write(name, bytes);
    }

    std::vector<WorkerView> Views() {
        std::lock_guard<std::mutex> lock(g_viewLock);
        return g_views;
    }

    fleettest::CTempDir dir;
    std::vector<fleet::PlatformProfile> profiles;
    std::string programPath;
    fleet::CFleetSlots slots;
    fleet::SlotStartRequest request;
    testsupport::CRecordingSink sink;
    platform::CScriptedPrompts prompts;
    std::vector<std::string> log;
};

TEST_F(SlotStartTest, ThreeReadySlotsStartInSlotOrder400msApart) {
    for (int s : {0, 3, 5}) {
        slots.states[static_cast<size_t>(s)] = fleet::kSlotReady;
    }
    slots.states[6] = fleet::kSlotFailed;
    slots.deviceNames[3] = "SIM0003";
    slots.phoneComNumbers[3] = 9;
    request.options.bPhoneChosen = true;
    request.options.bPhoneBootloaderUpdate = true;
    request.options.bPhoneInit = true;

    const fleet::SlotStartResult result = fleet::StartReadySlots(slots, request);
    slots.JoinAll();
    EXPECT_EQ(result.outcome, fleet::StartOutcome::Completed);
    EXPECT_EQ(result.nStarted, 3);
    EXPECT_TRUE(prompts.m_messages.empty());
    EXPECT_EQ(log, (std::vector<std::string>{"PDA 1 starts downloading...\r\n",
                                             "PDA 4 starts downloading...\r\n",
                                             "PDA 6 starts downloading...\r\n"}));
    const std::array<int32_t, 8> states = {2, 0, 0, 2, 0, 2, 4, 0};
    EXPECT_EQ(slots.states, states);
    EXPECT_EQ(slots.busy[3], 1);
    EXPECT_EQ(slots.busy[1], 0);
    EXPECT_EQ(slots.nFreeCount, 5);

    std::vector<WorkerView> views = Views();
    ASSERT_EQ(views.size(), 3u);
    std::sort(views.begin(), views.end(),
              [](const WorkerView& a, const WorkerView& b) { return a.started < b.started; });
    EXPECT_EQ(views[0].nSlot, 0);
    EXPECT_EQ(views[1].nSlot, 3);
    EXPECT_EQ(views[2].nSlot, 5);
    for (size_t i = 1; i < views.size(); ++i) {
        const auto gap = views[i].started - views[i - 1].started;
        EXPECT_GE(gap, 350ms);
        EXPECT_LT(gap, 1000ms);
    }
    for (const WorkerView& v : views) {
        const size_t s = static_cast<size_t>(v.nSlot);
        EXPECT_FALSE(v.bFilesWorker) << "the platform row downloads from the container";
        EXPECT_EQ(v.pProfile, &profiles[2]) << "the row the program file's index names";
        EXPECT_EQ(v.pPdaPort, &slots.pdaPorts[s]);
        EXPECT_EQ(v.pPhonePort, &slots.phonePorts[s]);
        EXPECT_GE(v.nStagger, 0);
        EXPECT_LE(v.nStagger, 9);
        EXPECT_EQ(v.nPhoneFlag, 1u);
        EXPECT_EQ(v.nLaunchFlag, 1u) << "Multi Download off: launch at the end";
        EXPECT_EQ(v.nPhoneInit, 1u);
        EXPECT_EQ(v.nPhoneMode, 3);
        EXPECT_TRUE(v.bTrailer && v.bMagic)
            << "each worker reads the container through its own handle";
        EXPECT_EQ(v.bEboot, 0);
        EXPECT_TRUE(v.regions.empty());
    }
    EXPECT_EQ(views[1].strDeviceName, "SIM0003");
    EXPECT_EQ(views[1].nPhoneCom, 9);

    // Each worker's one message arrives, in slot order, and then the word
    // that the worker has ended.
    platform::WindowMessage msg;
    for (int s : {0, 3, 5}) {
        ASSERT_TRUE(sink.WaitNext(msg, 1s));
        EXPECT_EQ(msg.nMsg, fleet::WM_PDA_PROGRESS);
        EXPECT_EQ(msg.wParam, fleet::kPdaJobFinished);
        EXPECT_EQ(fleet::SlotOfLParam(msg.lParam), s);
        ASSERT_TRUE(sink.WaitNext(msg, 1s));
        EXPECT_EQ(msg.nMsg, fleet::WM_WORKER_ENDED);
        EXPECT_EQ(fleet::SlotOfLParam(msg.lParam), s);
    }
}

TEST_F(SlotStartTest, ACallerSpendsTheIntervalsAndHearsOfEachStart) {
    for (int s : {1, 4}) {
        slots.states[static_cast<size_t>(s)] = fleet::kSlotReady;
    }
    std::vector<std::string> calls;
    request.fnStarted = [&](int nSlot) {
        // Told once the slot is the worker's, not before.
        EXPECT_EQ(slots.states[static_cast<size_t>(nSlot)], fleet::kSlotDownloading);
        calls.push_back("started " + std::to_string(nSlot));
    };
    request.fnWait = [&](std::chrono::milliseconds interval) {
        calls.push_back("wait " + std::to_string(interval.count()));
    };
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(fleet::StartReadySlots(slots, request).nStarted, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 350ms) << "the caller's wait, not a sleep";
    slots.JoinAll();
    EXPECT_EQ(calls, (std::vector<std::string>{"started 1", "wait 400", "started 4", "wait 400"}));
}

TEST_F(SlotStartTest, MultiDownloadMeansNoLaunchAndPhoneModeOne) {
    slots.states[2] = fleet::kSlotReady;
    request.options.bMultiDownload = true;
    request.interval = 0ms;
    ASSERT_EQ(fleet::StartReadySlots(slots, request).nStarted, 1);
    slots.JoinAll();
    const auto views = Views();
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].nLaunchFlag, 0u);
    EXPECT_EQ(views[0].nPhoneMode, 1);
    EXPECT_EQ(views[0].nPhoneFlag, 0u);
    EXPECT_EQ(views[0].pPhoneImage, nullptr);
}

TEST_F(SlotStartTest, AProfileIndexOutsideTheTableStartsNothing) {
    slots.states[0] = fleet::kSlotReady;
    request.strProgramPath = WriteProgram("plain", 9);
    EXPECT_EQ(fleet::StartReadySlots(slots, request).outcome, fleet::StartOutcome::Refused);
    ASSERT_EQ(prompts.m_messages.size(), 1u);
    EXPECT_NE(prompts.m_messages[0].text.find("profile 9"), std::string::npos)
        << prompts.m_messages[0].text;
    EXPECT_EQ(slots.states[0], fleet::kSlotReady);
    EXPECT_EQ(slots.nFreeCount, 8);
    EXPECT_TRUE(log.empty());

    request.strProgramPath = dir.File("gone %s%n");
    EXPECT_EQ(fleet::StartReadySlots(slots, request).outcome, fleet::StartOutcome::Refused);
    EXPECT_EQ(prompts.m_messages.back().text,
              "Cannot read the platform profile index from " + request.strProgramPath + ".");

    // Nothing ready: nothing to refuse either.
    slots.states[0] = fleet::kSlotEmpty;
    EXPECT_EQ(fleet::StartReadySlots(slots, request).outcome, fleet::StartOutcome::Completed);
    slots.JoinAll();
    EXPECT_TRUE(Views().empty());
}

TEST_F(SlotStartTest, AnUnpackedProgramMustNameTheChosenPlatform) {
    slots.states[0] = fleet::kSlotReady;
    // An unpacked build ends in whatever bytes the linker left: here profile 0.
    std::vector<uint8_t> bytes = fleet::PatternBytes(4096, 8);
    for (size_t i = bytes.size() - 4; i < bytes.size(); ++i) {
        bytes[i] = 0;
    }
    request.strProgramPath = dir.Write("unpacked", bytes);
    EXPECT_EQ(fleet::StartReadySlots(slots, request).outcome, fleet::StartOutcome::Refused);
    ASSERT_EQ(prompts.m_messages.size(), 1u);
    EXPECT_NE(prompts.m_messages[0].text.find("carries no image container and its last 4 bytes "
                                              "name platform profile 0, not the chosen platform "
                                              "(1)"),
              std::string::npos)
        << prompts.m_messages[0].text;
    EXPECT_EQ(slots.states[0], fleet::kSlotReady);

    // The same bytes naming the chosen platform start as before.
    bytes.back() = 0;
    bytes[bytes.size() - 4] = 1;
    request.strProgramPath = dir.Write("unpacked_row1", bytes);
    request.interval = 0ms;
    EXPECT_EQ(fleet::StartReadySlots(slots, request).nStarted, 1);
    slots.JoinAll();
    ASSERT_EQ(Views().size(), 1u);
    EXPECT_EQ(Views()[0].pProfile, &request.profiles[1]);
}

TEST_F(SlotStartTest, FilesModeWorkersGetTheOperatorsSelection) {
    profiles[1].containerMode = 0;
    fleet::CImageSelection selection(prompts, nullptr);
    selection.LoadPlatformProfiles();
    selection.OnPlatformSelected(2);
    const auto pda = fleet::BuildFlatImage(0x15E800 + 3000, 2016, 4);
    prompts.m_openAnswers.push_back(dir.Write("pda.bin", pda));
    ASSERT_TRUE(selection.SetImageChosen(fleet::kImagePda, true));
    prompts.m_openAnswers.push_back(dir.Write("phone.bin", fleet::PatternBytes(3000, 1)));
    ASSERT_TRUE(selection.SetImageChosen(fleet::kImagePhone, true));

    slots.states[1] = fleet::kSlotReady;
    slots.states[4] = fleet::kSlotReady;
    request.pSelection = &selection;
    request.interval = 0ms;
    ASSERT_EQ(fleet::StartReadySlots(slots, request).nStarted, 2);
    slots.JoinAll();
    const auto views = Views();
    ASSERT_EQ(views.size(), 2u);
    for (const WorkerView& v : views) {
        EXPECT_TRUE(v.bFilesWorker);
        EXPECT_EQ(v.bEboot, 0) << "no EBOOT was chosen";
        EXPECT_EQ(v.pEbootFile, &selection.EbootFile(v.nSlot));
        EXPECT_EQ(v.bPda, 1);
        ASSERT_EQ(v.regions.size(), 1u);
        const fleet::RegionEntry& r = v.regions[0];
        EXPECT_EQ(r.pImageFile, &selection.Region(0).files[static_cast<size_t>(v.nSlot)])
            << "each slot reads through its own file object";
        EXPECT_EQ(r.bEnabled, 1);
        EXPECT_EQ(r.nStartOffset, 0);
        EXPECT_EQ(r.nEndOffset, ((0x15E800 + 3000) / 1008 + 1) * 1008) << "the zero tail is cut";
        EXPECT_EQ(r.nExpectedChecksum, selection.Region(0).regionChecksum);
        EXPECT_EQ(v.pPhoneImage, &selection.Phone());
    }
}

// Eight workers at once, each posting a numbered stream; the window must see
// every slot's stream complete and in order.
constexpr int kStreamLength = 400;
std::latch* g_pAllStarted = nullptr;

int StreamingWorker(SlotContext* ctx) {
    g_pAllStarted->arrive_and_wait();
    for (int i = 0; i < kStreamLength; ++i) {
        fleet::PostSlotMessage(ctx->pWindow, fleet::WM_PDA_PROGRESS, fleet::kPdaTransferProgress,
                               fleet::MakeSlotLParam(ctx->nSlot, static_cast<uint32_t>(i)));
        if (i % 100 == 50) {
            std::string line = "slot " + std::to_string(ctx->nSlot) + " at " + std::to_string(i);
            fleet::PostSlotLog(ctx->pWindow, ctx->nSlot, line);
        }
    }
    fleet::PostSlotMessage(ctx->pWindow, fleet::WM_PDA_PROGRESS, fleet::kPdaJobFinished,
                           fleet::MakeSlotLParam(ctx->nSlot, 0));
    return 0;
}

TEST_F(SlotStartTest, EightConcurrentWorkersMessagesArriveInPostingOrder) {
    std::latch allStarted(fleet::kSlotCount);
    g_pAllStarted = &allStarted;
    platform::CStdEventLoop loop;
    std::array<int, fleet::kSlotCount> next{};
    std::array<int, fleet::kSlotCount> logs{};
    std::array<bool, fleet::kSlotCount> ended{};
    int finished = 0;
    int disorder = 0;
    loop.SetMessageHandler([&](const platform::WindowMessage& m) {
        const int slot = fleet::SlotOfLParam(m.lParam);
        const size_t s = static_cast<size_t>(slot);
        if (m.nMsg == fleet::WM_SLOT_LOG) {
            const auto text = fleet::AdoptSlotLogText(m);
            // The log line names the progress step just before it.
            if (text == nullptr || std::string(text.get()) != "slot " + std::to_string(slot) +
                                                                  " at " +
                                                                  std::to_string(next[s] - 1)) {
                ++disorder;
            }
            ++logs[s];
        } else if (m.wParam == fleet::kPdaTransferProgress) {
            disorder += static_cast<int>(fleet::ArgumentOfLParam(m.lParam)) != next[s] ? 1 : 0;
            ++next[s];
        } else if (m.nMsg == fleet::WM_WORKER_ENDED) {
            // Once per worker, after everything it posted.
            disorder += next[s] != kStreamLength || ended[s] ? 1 : 0;
            ended[s] = true;
        } else if (m.wParam == fleet::kPdaJobFinished) {
            disorder += next[s] != kStreamLength || ended[s] ? 1 : 0;
            ++finished;
        }
    });
    for (auto& state : slots.states) {
        state = fleet::kSlotReady;
    }
    request.pWindow = &loop;
    request.containerWorker = StreamingWorker;
    request.interval = 0ms;
    ASSERT_EQ(fleet::StartReadySlots(slots, request).nStarted, fleet::kSlotCount);
    EXPECT_TRUE(loop.RunUntil(
        [&] { return std::count(ended.begin(), ended.end(), true) == fleet::kSlotCount; }, 30s));
    slots.JoinAll();
    EXPECT_EQ(finished, fleet::kSlotCount);
    EXPECT_EQ(disorder, 0);
    for (size_t s = 0; s < fleet::kSlotCount; ++s) {
        EXPECT_EQ(next[s], kStreamLength) << s;
        EXPECT_EQ(logs[s], kStreamLength / 100) << s;
    }
    EXPECT_EQ(slots.nFreeCount, 0);
}

}  // namespace
