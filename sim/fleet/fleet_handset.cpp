#include "sim/fleet/fleet_handset.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "sim/fleet/byte_store.h"
#include "sim/fleet/pda_flash.h"
#include "sim/fleet/sim_line.h"

namespace fleetsim {

namespace {

// While the host has a port closed the master only reports hang-up, so its
// open is found by looking this often.
constexpr auto kOpenPollInterval = std::chrono::milliseconds(10);
// Longest sleep when nothing is due.
constexpr auto kIdleWait = std::chrono::milliseconds(200);
constexpr size_t kMaxLogLines = 8192;

timespec ToTimespec(std::chrono::nanoseconds d) {
    if (d.count() < 0) {
        d = std::chrono::nanoseconds(0);
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(d.count() / 1000000000LL);
    ts.tv_nsec = static_cast<long>(d.count() % 1000000000LL);
    return ts;
}

void Earliest(std::optional<TimePoint>& deadline, std::optional<TimePoint> t) {
    if (t && (!deadline || *t < *deadline)) {
        deadline = t;
    }
}

bool MakeDirs(const std::string& path, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec || !std::filesystem::is_directory(path)) {
        error = "cannot create the folder " + path + (ec ? ": " + ec.message() : "");
        return false;
    }
    return true;
}

}  // namespace

const char* HandsetStageName(HandsetStage stage) {
    switch (stage) {
        case HandsetStage::Stopped:
            return "stopped";
        case HandsetStage::Pda:
            return "PDA";
        case HandsetStage::Switching:
            return "switching";
        case HandsetStage::Modem:
            return "modem";
        case HandsetStage::Silent:
            return "silent";
        case HandsetStage::Unplugged:
            return "unplugged";
    }
    return "?";
}

struct CSimHandset::Impl {
    enum class Halt { None, Silent, Unplug };

    // What one side sees of the handset.
    class SideHost : public ISideHost {
      public:
        SideHost(Impl& d, CSimLine& line, bool& bHostOpen, const char* pTag)
            : m_d(d), m_line(line), m_bHostOpen(bHostOpen), m_pTag(pTag) {}
        void Send(const uint8_t* p, size_t n) override {
            if (m_d.halt != Halt::None || !m_bHostOpen) {
                return;
            }
            if (!m_d.bChaosArmed) {
                m_line.Send(p, n);
                // The detection handshake answered: the hostile mode begins.
                m_d.bChaosArmed = m_d.config.pChaos != nullptr && m_d.pda.Record().nHandshakes > 0;
                return;
            }
            std::vector<uint8_t> reply(p, p + n);
            std::string trace;
            const simchaos::Fault fault = m_d.config.pChaos->OnReply(reply, trace);
            if (fault != simchaos::Fault::None) {
                m_d.LogLine(m_pTag, trace, true);
            }
            if (fault == simchaos::Fault::Unplug) {
                m_d.halt = Halt::Unplug;
                m_d.bUnplugRequested = true;
            }
            if (!reply.empty()) {
                m_line.Send(reply.data(), reply.size());
            }
        }
        void Log(const std::string& text) override { m_d.LogLine(m_pTag, text, false); }
        void Notice(const std::string& text) override { m_d.LogLine(m_pTag, text, true); }
        CFaultPlan::Decision Consult(Step step, int nIndex) override {
            return m_d.Consult(m_pTag, step, nIndex);
        }
        bool Halted() const override { return m_d.halt != Halt::None; }
        void SwitchToModem() override { m_d.Switch(); }
        const HandsetSettings& Settings() const override { return m_d.config.settings; }
        CReceivedLog& Received() override { return m_d.received; }

      private:
        Impl& m_d;
        CSimLine& m_line;
        bool& m_bHostOpen;
        const char* m_pTag;
    };

    explicit Impl(Config c)
        : config(std::move(c)),
          pdaLine(config.settings.nPaceBytesPerSecond),
          modemLine(config.settings.nPaceBytesPerSecond),
          ram(kRamBase, kRamSize, 0x00),
          modemFlash(0, kModemFlashSize, 0xFF),
          plan(config.faults),
          pdaHost(*this, pdaLine, bPdaHostOpen, "PDA  "),
          modemHost(*this, modemLine, bModemHostOpen, "MODEM"),
          pda(pdaHost, ram, flash),
          modem(modemHost, modemFlash,
                config.strStoreDir.empty() ? std::string() : config.strStoreDir + "/modem") {}

    void Run();
    void ServeLine(CSimLine& line, bool& bHostOpen, bool bReadable, TimePoint now, bool bPda);
    void LogLine(const char* pTag, const std::string& text, bool bNotice);
    CFaultPlan::Decision Consult(const char* pTag, Step step, int nIndex);
    void Switch();
    void PublishModem();
    void DoUnplug();
    void Wake();

    Config config;
    CSimLine pdaLine;
    CSimLine modemLine;
    CByteStore ram;
    CPdaFlash flash;
    CByteStore modemFlash;
    CFaultPlan plan;
    CReceivedLog received;
    bool bPdaHostOpen = false;
    bool bModemHostOpen = false;
    SideHost pdaHost;
    SideHost modemHost;
    CPdaSide pda;
    CModemSide modem;

    HandsetStage stage = HandsetStage::Stopped;
    Halt halt = Halt::None;
    bool bUnplugRequested = false;
    bool bSilenceRequested = false;
    bool bChaosArmed = false;
    std::optional<TimePoint> modemPublishAt;
    TimePoint started{};
    int hLog = -1;
    std::deque<std::string> logLines;

    mutable std::mutex mutex;  // guards everything the thread touches
    std::thread thread;
    int hWake = -1;
    std::atomic<bool> bStop{false};
    bool bRunning = false;
};

void CSimHandset::Impl::LogLine(const char* pTag, const std::string& text, bool bNotice) {
    const double t = std::chrono::duration<double>(Clock::now() - started).count();
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%10.3f %s ", t, pTag);
    const std::string line = stamp + text;
    if (logLines.size() >= kMaxLogLines) {
        logLines.pop_front();
    }
    logLines.push_back(line);
    if (hLog >= 0) {
        const std::string withEnd = line + "\n";
        (void)!::write(hLog, withEnd.data(), withEnd.size());
    }
    if (config.fnLog) {
        config.fnLog(config.nNumber, line, bNotice);
    }
}

CFaultPlan::Decision CSimHandset::Impl::Consult(const char* pTag, Step step, int nIndex) {
    const CFaultPlan::Decision d = plan.Consult(step, nIndex);
    if (d.bSilent) {
        halt = Halt::Silent;
        stage = HandsetStage::Silent;
        LogLine(pTag,
                std::string("fault: silent from ") + StepName(step) + " " + std::to_string(nIndex),
                true);
    } else if (d.bUnplug) {
        halt = Halt::Unplug;
        bUnplugRequested = true;
        LogLine(pTag,
                std::string("fault: unplugged at ") + StepName(step) + " " + std::to_string(nIndex),
                true);
    }
    return d;
}

void CSimHandset::Impl::Switch() {
    stage = HandsetStage::Switching;
    pdaLine.Unpublish();
    LogLine("PDA  ", "switching to the modem: PDA link removed", true);
    if (config.settings.bNoModem) {
        LogLine("MODEM", "the modem port will not appear (fault)", true);
        return;
    }
    int nDelayMs = config.settings.nModemDelayMs;
    if (bChaosArmed) {
        std::string trace;
        nDelayMs = config.pChaos->ModemPortDelay(nDelayMs, trace);
        if (!trace.empty()) {
            LogLine("MODEM", trace, true);
        }
        if (nDelayMs < 0) {
            return;
        }
    }
    modemPublishAt = Clock::now() + std::chrono::milliseconds(nDelayMs);
}

void CSimHandset::Impl::PublishModem() {
    modemPublishAt.reset();
    std::string error;
    const std::string link = config.strDir + "/" + ModemLinkName(config.strSerial);
    if (!modemLine.Open(error) || !modemLine.Publish(link, error)) {
        modemLine.Close();
        LogLine("MODEM", "the modem port cannot appear: " + error, true);
        return;
    }
    bModemHostOpen = false;
    stage = HandsetStage::Modem;
    LogLine("MODEM", "modem port published: " + link + " -> " + modemLine.SlavePath(), true);
}

void CSimHandset::Impl::DoUnplug() {
    bUnplugRequested = false;
    halt = Halt::Unplug;
    stage = HandsetStage::Unplugged;
    modemPublishAt.reset();
    pdaLine.Close();
    modemLine.Close();
    bPdaHostOpen = false;
    bModemHostOpen = false;
    LogLine("PDA  ", "unplugged: links removed, ports hung up", true);
}

void CSimHandset::Impl::Wake() {
    const uint64_t one = 1;
    (void)!::write(hWake, &one, sizeof one);
}

void CSimHandset::Impl::ServeLine(CSimLine& line, bool& bHostOpen, bool bReadable, TimePoint now,
                                  bool bPda) {
    if (!line.IsOpen()) {
        return;
    }
    const char* tag = bPda ? "PDA  " : "MODEM";
    if (!bHostOpen) {
        if (line.HostHasPortOpen()) {
            bHostOpen = true;
            LogLine(tag, "the host opened the port", false);
            if (halt == Halt::None) {
                if (bPda) {
                    pda.OnHostOpened();
                } else {
                    modem.OnHostOpened();
                }
            }
        }
        return;
    }
    if (!bReadable) {
        return;
    }
    std::vector<uint8_t> rx;
    const bool bStillOpen = line.Read(rx, now);
    if (!rx.empty() && halt == Halt::None) {
        if (bPda) {
            pda.OnBytes(rx.data(), rx.size(), now);
        } else {
            modem.OnBytes(rx.data(), rx.size(), now);
        }
    }
    if (!bStillOpen && line.IsOpen()) {
        bHostOpen = false;
        line.DropPending();
        LogLine(tag, "the host closed the port", false);
        if (halt == Halt::None) {
            if (bPda) {
                pda.OnHostClosed();
            } else {
                modem.OnHostClosed();
            }
        }
        if (bPda && pda.Record().bSwitched) {
            // The interface is gone for good once the connection switched over.
            line.Close();
        }
    }
}

void CSimHandset::Impl::Run() {
    // Short wake-ups keep the pacing close to its rate.
    prctl(PR_SET_TIMERSLACK, 20000UL, 0, 0, 0);
    while (!bStop.load()) {
        TimePoint now = Clock::now();
        std::optional<TimePoint> deadline;
        pollfd fds[3] = {{hWake, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        CSimLine* lines[2] = {&pdaLine, &modemLine};
        bool* open[2] = {&bPdaHostOpen, &bModemHostOpen};
        bool bWatchOpen = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            Earliest(deadline, pda.NextDeadline());
            Earliest(deadline, modem.NextDeadline());
            Earliest(deadline, modemPublishAt);
            for (int i = 0; i < 2; ++i) {
                CSimLine& line = *lines[i];
                if (!line.IsOpen()) {
                    continue;
                }
                if (!*open[i]) {
                    bWatchOpen = true;
                    continue;
                }
                fds[i + 1].fd = line.MasterFd();
                const std::optional<TimePoint> readAt = line.NextReadTime(now);
                if (readAt) {
                    Earliest(deadline, readAt);
                } else {
                    fds[i + 1].events |= POLLIN;
                }
                if (line.Blocked()) {
                    fds[i + 1].events |= POLLOUT;
                }
                Earliest(deadline, line.NextSendTime(now));
            }
        }
        std::chrono::nanoseconds wait = bWatchOpen ? kOpenPollInterval : kIdleWait;
        if (deadline && *deadline - now < wait) {
            wait = *deadline - now;
        }
        const timespec ts = ToTimespec(wait);
        const int r = ppoll(fds, 3, &ts, nullptr);
        if (r < 0 && errno != EINTR) {
            break;
        }
        if (bStop.load()) {
            break;
        }
        if (r > 0 && (fds[0].revents & POLLIN) != 0) {
            uint64_t v = 0;
            (void)!::read(hWake, &v, sizeof v);
        }
        std::lock_guard<std::mutex> lock(mutex);
        now = Clock::now();
        if (bSilenceRequested) {
            bSilenceRequested = false;
            if (halt == Halt::None) {
                halt = Halt::Silent;
                stage = HandsetStage::Silent;
                LogLine("PDA  ", "silent from now on (asked)", true);
            }
        }
        for (int i = 0; i < 2; ++i) {
            CSimLine& line = *lines[i];
            const bool bReadable =
                fds[i + 1].fd >= 0 && fds[i + 1].fd == line.MasterFd() &&
                ((fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 ||
                 (*open[i] && !line.NextReadTime(now) && (fds[i + 1].events & POLLIN) == 0));
            ServeLine(line, *open[i], bReadable, now, i == 0);
        }
        if (halt == Halt::None) {
            pda.OnTimer(now);
            modem.OnTimer(now);
        }
        if (modemPublishAt && *modemPublishAt <= now && halt == Halt::None) {
            PublishModem();
        }
        if (bUnplugRequested) {
            DoUnplug();
        }
        for (int i = 0; i < 2; ++i) {
            CSimLine& line = *lines[i];
            if (!line.IsOpen() || !*open[i]) {
                continue;
            }
            // A silent handset still finishes what it said before it fell
            // silent; nothing new is queued (SideHost::Send refuses).
            if (!line.Pump(Clock::now())) {
                line.DropPending();  // the host went away under a write; the next read tells
            }
        }
    }
}

CSimHandset::CSimHandset(Config config) : m_pImpl(std::make_unique<Impl>(std::move(config))) {}

CSimHandset::~CSimHandset() {
    Stop();
}

bool CSimHandset::Start(std::string& error) {
    Impl& d = *m_pImpl;
    if (d.bRunning) {
        error = "handset " + d.config.strSerial + " is already running";
        return false;
    }
    d.started = Clock::now();
    const std::string& store = d.config.strStoreDir;
    auto fail = [&](const std::string& why) {
        error = why;
        d.pdaLine.Close();
        d.ram.Close();
        d.flash.Close();
        if (d.hLog >= 0) {
            ::close(d.hLog);
            d.hLog = -1;
        }
        return false;
    };
    if (!store.empty()) {
        if (!MakeDirs(store + "/modem", error)) {
            return false;
        }
        d.hLog =
            ::open((store + "/log.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (d.hLog < 0) {
            return fail("cannot create " + store + "/log.txt: " + std::strerror(errno));
        }
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(store + "/modem", ec)) {
            std::filesystem::remove(entry.path(), ec);  // areas of an earlier run
        }
    }
    std::string why;
    if (!d.ram.Open(store.empty() ? "" : store + "/ram.bin", why) ||
        !d.flash.Open(store.empty() ? "" : store + "/eboot.bin",
                      store.empty() ? "" : store + "/pda_flash.bin", why)) {
        return fail(why);
    }
    if (!d.pdaLine.Open(why) || !d.pdaLine.Publish(PdaLinkPath(), why)) {
        return fail(why);
    }
    d.hWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.hWake < 0) {
        return fail(std::string("eventfd failed: ") + std::strerror(errno));
    }
    d.stage = HandsetStage::Pda;
    d.halt = Impl::Halt::None;
    d.LogLine("PDA  ",
              "handset " + d.config.strSerial + " published: " + PdaLinkPath() + " -> " +
                  d.pdaLine.SlavePath(),
              true);
    for (const Fault& f : d.config.faults) {
        d.LogLine("PDA  ", "armed fault: " + DescribeFault(f), false);
    }
    d.bStop = false;
    d.bRunning = true;
    d.thread = std::thread([&d] { d.Run(); });
    return true;
}

void CSimHandset::Stop() {
    Impl& d = *m_pImpl;
    if (!d.bRunning) {
        return;
    }
    d.bStop = true;
    d.Wake();
    d.thread.join();
    std::lock_guard<std::mutex> lock(d.mutex);
    ::close(d.hWake);
    d.hWake = -1;
    d.pdaLine.Close();
    d.modemLine.Close();
    d.bPdaHostOpen = false;
    d.bModemHostOpen = false;
    d.LogLine("PDA  ", "stopped", false);
    if (!d.config.strStoreDir.empty()) {
        const std::string path = d.config.strStoreDir + "/received.txt";
        const std::string text = d.received.Text();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            d.LogLine("PDA  ", "cannot write " + path + ": " + std::strerror(errno), true);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    d.ram.Close();
    d.flash.Close();
    if (d.hLog >= 0) {
        ::close(d.hLog);
        d.hLog = -1;
    }
    d.stage = HandsetStage::Stopped;
    d.bRunning = false;
}

int CSimHandset::Number() const {
    return m_pImpl->config.nNumber;
}
const std::string& CSimHandset::Serial() const {
    return m_pImpl->config.strSerial;
}
std::string CSimHandset::PdaLinkPath() const {
    return m_pImpl->config.strDir + "/" + PdaLinkName(m_pImpl->config.strSerial);
}
std::string CSimHandset::ModemLinkPath() const {
    return m_pImpl->config.strDir + "/" + ModemLinkName(m_pImpl->config.strSerial);
}
const std::string& CSimHandset::StoreDir() const {
    return m_pImpl->config.strStoreDir;
}

#define FLEETSIM_READ(expr)                           \
    std::lock_guard<std::mutex> lock(m_pImpl->mutex); \
    return m_pImpl->expr

std::string CSimHandset::PdaSlavePath() const {
    FLEETSIM_READ(pdaLine.IsOpen() ? m_pImpl->pdaLine.SlavePath() : std::string());
}
std::string CSimHandset::ModemSlavePath() const {
    FLEETSIM_READ(modemLine.IsOpen() ? m_pImpl->modemLine.SlavePath() : std::string());
}
HandsetStage CSimHandset::Stage() const {
    FLEETSIM_READ(stage);
}
bool CSimHandset::PdaHostConnected() const {
    FLEETSIM_READ(bPdaHostOpen);
}
bool CSimHandset::ModemHostConnected() const {
    FLEETSIM_READ(bModemHostOpen);
}
PdaRecord CSimHandset::Pda() const {
    FLEETSIM_READ(pda.Record());
}
StreamRecord CSimHandset::Stream() const {
    FLEETSIM_READ(pda.Stream());
}
ModemRecord CSimHandset::Modem() const {
    FLEETSIM_READ(modem.Record());
}
std::vector<uint8_t> CSimHandset::ReadRam(uint64_t nAddress, size_t n) const {
    FLEETSIM_READ(ram.Read(nAddress, n));
}
std::vector<uint8_t> CSimHandset::ReadFlash(uint64_t nAddress, size_t n) const {
    FLEETSIM_READ(flash.Read(nAddress, n));
}
std::vector<uint8_t> CSimHandset::Eboot() const {
    FLEETSIM_READ(flash.Boot().Read(kFlashBase, m_pImpl->flash.Boot().Extent()));
}
std::vector<uint8_t> CSimHandset::PdaImage() const {
    FLEETSIM_READ(flash.Os().Read(kOsPartitionBase, m_pImpl->flash.Os().Extent()));
}
std::vector<uint8_t> CSimHandset::ReadModem(uint64_t nAddress, size_t n) const {
    FLEETSIM_READ(modemFlash.Read(nAddress, n));
}
int CSimHandset::FaultsFired() const {
    FLEETSIM_READ(plan.Fired());
}

#undef FLEETSIM_READ

std::vector<uint8_t> CSimHandset::ModemArea(uint64_t nStart) const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    for (const ModemAreaRecord& area : m_pImpl->modem.Record().areas) {
        if (area.nStart == nStart) {
            return m_pImpl->modemFlash.Read(nStart, area.nWritten);
        }
    }
    return {};
}

std::vector<std::string> CSimHandset::Received() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->received.Entries();
}

std::vector<std::string> CSimHandset::Log() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return {m_pImpl->logLines.begin(), m_pImpl->logLines.end()};
}

void CSimHandset::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->plan.Add(fault);
    m_pImpl->LogLine("PDA  ", "armed fault: " + DescribeFault(fault), false);
}

void CSimHandset::Unplug() {
    Impl& d = *m_pImpl;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.bRunning || d.stage == HandsetStage::Unplugged) {
            return;
        }
        d.bUnplugRequested = true;
        d.Wake();
    }
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end && Stage() != HandsetStage::Unplugged) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void CSimHandset::GoSilent() {
    Impl& d = *m_pImpl;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.bRunning || d.halt != Impl::Halt::None) {
            return;
        }
        d.bSilenceRequested = true;
        d.Wake();
    }
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end && Stage() != HandsetStage::Silent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

CHandsetFleet::CHandsetFleet(FleetOptions options) : m_options(std::move(options)) {}

CHandsetFleet::~CHandsetFleet() {
    Stop();
}

bool CHandsetFleet::Start(std::string& error) {
    Stop();
    if (m_options.nCount < 1 || m_options.nCount > kMaxHandsets) {
        error = "the count must be 1.." + std::to_string(kMaxHandsets);
        return false;
    }
    if (m_options.strDir.empty()) {
        error = "no folder for the links";
        return false;
    }
    if (!MakeDirs(m_options.strDir, error)) {
        return false;
    }
    if (!m_options.strStoreDir.empty() && !MakeDirs(m_options.strStoreDir, error)) {
        return false;
    }
    for (int n = 1; n <= m_options.nCount; ++n) {
        CSimHandset::Config c;
        c.nNumber = n;
        c.strSerial = HandsetSerial(m_options.strSerialPrefix, n);
        c.strDir = m_options.strDir;
        if (!m_options.strStoreDir.empty()) {
            c.strStoreDir = m_options.strStoreDir + "/" + c.strSerial;
        }
        c.settings = m_options.settings;
        for (const Fault& f : m_options.faults) {
            if (f.nHandset == 0 || f.nHandset == n) {
                c.faults.push_back(f);
            }
        }
        c.fnLog = m_options.fnLog;
        if (m_options.chaos.bOn) {
            c.pChaos = std::make_shared<simchaos::CSeededChaos>(
                simchaos::CSeededChaos::Derive(m_options.chaos.nSeed, static_cast<uint64_t>(n)),
                m_options.chaos.dRate);
        }
        auto handset = std::make_unique<CSimHandset>(std::move(c));
        if (!handset->Start(error)) {
            Stop();
            return false;
        }
        m_handsets.push_back(std::move(handset));
    }
    return true;
}

void CHandsetFleet::Stop() {
    for (auto& h : m_handsets) {
        h->Stop();
    }
    m_handsets.clear();
}

}  // namespace fleetsim
