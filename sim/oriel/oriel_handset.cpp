#include "sim/oriel/oriel_handset.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/oriel/handset_machine.h"
#include "sim/oriel/nand_image.h"
#include "sim/oriel/nand_store.h"
#include "sim/oriel/nor_flash.h"
#include "sim/oriel/pty_line.h"

namespace orielsim {

namespace {

// While nobody has the port open the master only reports hang-up, so the
// host's open is found by looking this often.
constexpr auto kOpenPollInterval = std::chrono::milliseconds(10);
// Longest sleep while the host is connected and nothing is due.
constexpr auto kIdleWait = std::chrono::milliseconds(200);

timespec ToTimespec(std::chrono::nanoseconds d) {
    if (d.count() < 0) {
        d = std::chrono::nanoseconds(0);
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(d.count() / 1000000000LL);
    ts.tv_nsec = static_cast<long>(d.count() % 1000000000LL);
    return ts;
}

}  // namespace

struct COrielHandset::Impl {
    explicit Impl(HandsetOptions o)
        : options(std::move(o)),
          line(options.bPace),
          faults(options.faults),
          ctx(line, faults, nor, nand, record, options),
          machine(ctx) {
        nand.SetNoticeSink([this](const std::string& text) { ctx.Notice(text); });
        if (options.chaos.bOn) {
            chaos =
                std::make_unique<simchaos::CSeededChaos>(options.chaos.nSeed, options.chaos.dRate);
            ctx.SetChaos(chaos.get());
        }
    }

    void Run();
    void HandleBytes(const std::vector<CPtyLine::RxByte>& bytes);
    bool RemoveLink();

    HandsetOptions options;
    CPtyLine line;
    CNorFlash nor;
    CNandStore nand;
    CFaultPlan faults;
    HandsetRecord record;
    CHandsetContext ctx;
    CHandsetMachine machine;
    std::unique_ptr<simchaos::CSeededChaos> chaos;
    bool bUnplugged = false;  // the chaos took the port away for good

    mutable std::mutex mutex;  // guards everything the thread changes
    std::thread thread;
    int hWake = -1;
    std::atomic<bool> bStop{false};
    bool bRunning = false;
    bool bLinkMade = false;
    std::string strSlave;
};

COrielHandset::COrielHandset(HandsetOptions options)
    : m_pImpl(std::make_unique<Impl>(std::move(options))) {}

COrielHandset::~COrielHandset() {
    Stop();
}

bool COrielHandset::Start(std::string& error) {
    Impl& d = *m_pImpl;
    if (d.bRunning) {
        error = "the handset is already running";
        return false;
    }
    if (!d.nor.Open(d.options.strNorFile, error)) {
        return false;
    }
    if (!d.nand.Open(d.options.strNandDir, error)) {
        d.nor.Close();
        return false;
    }
    if (!d.line.Open(error)) {
        d.nand.Close();
        d.nor.Close();
        return false;
    }
    d.strSlave = d.line.SlavePath();
    if (!d.options.strLinkPath.empty()) {
        struct stat st {};
        if (lstat(d.options.strLinkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                error = "refusing to replace " + d.options.strLinkPath +
                        ": it exists and is not a symbolic link";
                d.line.Close();
                d.nand.Close();
                d.nor.Close();
                return false;
            }
            ::unlink(d.options.strLinkPath.c_str());
        }
        if (symlink(d.strSlave.c_str(), d.options.strLinkPath.c_str()) != 0) {
            error = "cannot create the link " + d.options.strLinkPath + ": " + std::strerror(errno);
            d.line.Close();
            d.nand.Close();
            d.nor.Close();
            return false;
        }
        d.bLinkMade = true;
    }
    d.hWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.hWake < 0) {
        error = std::string("eventfd failed: ") + std::strerror(errno);
        d.RemoveLink();
        d.line.Close();
        d.nand.Close();
        d.nor.Close();
        return false;
    }
    d.bStop = false;
    d.bRunning = true;
    d.thread = std::thread([&d] { d.Run(); });
    return true;
}

void COrielHandset::Stop() {
    Impl& d = *m_pImpl;
    if (!d.bRunning) {
        return;
    }
    d.bStop = true;
    const uint64_t one = 1;
    (void)!write(d.hWake, &one, sizeof one);
    d.thread.join();
    ::close(d.hWake);
    d.hWake = -1;
    d.RemoveLink();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.line.Close();
    d.nor.Close();
    d.nand.Close();
    d.bRunning = false;
}

bool COrielHandset::Impl::RemoveLink() {
    if (!bLinkMade) {
        return true;
    }
    bLinkMade = false;
    // Only our own link: someone may have put another one there meanwhile.
    char target[PATH_MAX] = {};
    const ssize_t n = readlink(options.strLinkPath.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == strSlave) {
        return ::unlink(options.strLinkPath.c_str()) == 0;
    }
    return false;
}

void COrielHandset::Impl::HandleBytes(const std::vector<CPtyLine::RxByte>& bytes) {
    for (const CPtyLine::RxByte& rx : bytes) {
        line.SetEventTime(rx.arrived);
        machine.OnByte(rx.b, rx.arrived);
    }
}

void COrielHandset::Impl::Run() {
    // Sub-millisecond wake-ups keep the pacing close to the line rate.
    prctl(PR_SET_TIMERSLACK, 20000UL, 0, 0, 0);
    std::vector<CPtyLine::RxByte> rx;
    bool bHostOpen = false;
    while (!bStop.load()) {
        if (bUnplugged) {
            pollfd wake{hWake, POLLIN, 0};
            (void)poll(&wake, 1, -1);
            continue;
        }
        TimePoint now = Clock::now();
        std::optional<TimePoint> deadline;
        {
            std::lock_guard<std::mutex> lock(mutex);
            deadline = machine.NextDeadline();
            if (bHostOpen) {
                const std::optional<TimePoint> send = line.NextSendTime();
                if (send && (!deadline || *send < *deadline)) {
                    deadline = send;
                }
            }
        }
        pollfd fds[2] = {{hWake, POLLIN, 0}, {line.MasterFd(), POLLIN, 0}};
        nfds_t nfds = 1;
        std::chrono::nanoseconds wait = bHostOpen ? kIdleWait : kOpenPollInterval;
        if (bHostOpen) {
            nfds = 2;
            if (line.Blocked()) {
                fds[1].events |= POLLOUT;
            }
        }
        if (deadline && *deadline - now < wait) {
            wait = *deadline - now;
        }
        const timespec ts = ToTimespec(wait);
        const int r = ppoll(fds, nfds, &ts, nullptr);
        if (r < 0 && errno != EINTR) {
            break;
        }
        if (bStop.load()) {
            break;
        }
        now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        if (!bHostOpen) {
            if (line.HostHasPortOpen()) {
                bHostOpen = true;
                line.SetEventTime(now);
                machine.OnHostOpened(now);
            }
        } else if (r > 0 && fds[1].revents != 0) {
            rx.clear();
            const bool bStillOpen = line.Read(rx, now);
            HandleBytes(rx);
            if (!bStillOpen) {
                bHostOpen = false;
                line.DropPending();
                machine.OnHostClosed(now);
            }
        }
        line.SetEventTime(now);
        machine.OnTimer(now);
        if (machine.Stage() == HandsetStage::Off) {
            line.DropPending();
        }
        if (bHostOpen && !line.Pump(Clock::now())) {
            // The host went away under a write; the next read tells.
            line.DropPending();
        }
        if (ctx.Unplugged()) {
            // Pulled out: the host's port hangs up and its link goes.
            bUnplugged = true;
            line.Close();
            RemoveLink();
            ctx.Notice("unplugged: the port is gone");
        }
    }
}

bool COrielHandset::Running() const {
    return m_pImpl->bRunning;
}

const std::string& COrielHandset::SlavePath() const {
    return m_pImpl->strSlave;
}

#define ORIELSIM_READ(expr)                           \
    std::lock_guard<std::mutex> lock(m_pImpl->mutex); \
    return m_pImpl->expr

HandsetStage COrielHandset::Stage() const {
    ORIELSIM_READ(machine.Stage());
}
bool COrielHandset::HostConnected() const {
    ORIELSIM_READ(machine.HostOpen());
}
int COrielHandset::PowerOnCount() const {
    ORIELSIM_READ(record.nPowerOns);
}
int COrielHandset::BootCount() const {
    ORIELSIM_READ(record.nBoots);
}
int COrielHandset::PreloaderWordCount() const {
    ORIELSIM_READ(record.nPreloaderWords);
}
int COrielHandset::LastRateIndex() const {
    ORIELSIM_READ(record.nLastRateIndex);
}
int COrielHandset::FaultsFired() const {
    ORIELSIM_READ(record.nFaultsFired);
}
uint8_t COrielHandset::RomTimeoutArgument() const {
    ORIELSIM_READ(record.byRomTimeout);
}
size_t COrielHandset::BootloaderLength() const {
    ORIELSIM_READ(record.nBootloaderLength);
}
std::vector<size_t> COrielHandset::BootloaderBlocks() const {
    ORIELSIM_READ(record.bootloaderBlocks);
}
bool COrielHandset::BootloaderVerified() const {
    ORIELSIM_READ(record.bBootloaderVerified);
}
std::optional<uint32_t> COrielHandset::LastCrcAnnounced() const {
    ORIELSIM_READ(record.lastCrcAnnounced);
}
std::optional<uint32_t> COrielHandset::LastCrcComputed() const {
    ORIELSIM_READ(record.lastCrcComputed);
}
std::vector<CommandRecord> COrielHandset::Commands() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return {m_pImpl->record.commands.begin(), m_pImpl->record.commands.end()};
}
std::vector<std::string> COrielHandset::Notices() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return {m_pImpl->record.notices.begin(), m_pImpl->record.notices.end()};
}
std::vector<uint8_t> COrielHandset::ReadNor(uint32_t offset, size_t n) const {
    ORIELSIM_READ(nor.Read(offset, n));
}
std::string COrielHandset::NandDir() const {
    ORIELSIM_READ(nand.Dir());
}
bool COrielHandset::MfxMounted() const {
    ORIELSIM_READ(record.bMfxMounted);
}
std::optional<uint32_t> COrielHandset::LastMfxCrcAnnounced() const {
    ORIELSIM_READ(record.lastMfxCrcAnnounced);
}
std::optional<uint32_t> COrielHandset::LastMfxCrcComputed() const {
    ORIELSIM_READ(record.lastMfxCrcComputed);
}
int COrielHandset::MfxFilesWritten() const {
    ORIELSIM_READ(record.nMfxFilesWritten);
}
int COrielHandset::NandDumpBlocks() const {
    ORIELSIM_READ(record.nNandDumpBlocks);
}

#undef ORIELSIM_READ

void COrielHandset::ClearCommands() {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->record.commands.clear();
}

std::vector<uint8_t> COrielHandset::NandImage(uint32_t offset, size_t n) const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    std::vector<uint8_t> out;
    if (!m_pImpl->nand.IsOpen() || offset >= kNandSize) {
        return out;
    }
    n = std::min<size_t>(n, kNandSize - offset);
    CNandImage image;
    std::string why;
    if (image.Build(m_pImpl->nand, why) != 0) {
        return out;
    }
    out.resize(n);
    std::vector<uint8_t> page(kNandPageSize);
    size_t done = 0;
    while (done < n) {
        const uint32_t at = offset + static_cast<uint32_t>(done);
        image.ReadPage(at / kNandPageSize, page.data());
        const size_t skip = at % kNandPageSize;
        const size_t take = std::min(n - done, kNandPageSize - skip);
        std::copy_n(page.begin() + static_cast<std::ptrdiff_t>(skip), take,
                    out.begin() + static_cast<std::ptrdiff_t>(done));
        done += take;
    }
    return out;
}

bool COrielHandset::WriteNor(uint32_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->nor.Store(offset, bytes.data(), bytes.size());
}

}  // namespace orielsim
