#include "fuzz/support/pda_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/scratch_dir.h"

namespace fuzzsupport {

CPdaLink::CPdaLink(std::chrono::milliseconds replyBound) {
    const std::string dir = ScratchPath("pda_link");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    const std::string link = dir + "/usb-Fuzz_Handset_1-if01";
    m_hProbe = open(m_pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    FUZZ_CHECK(m_hProbe >= 0, "probe opened");
    FUZZ_CHECK(symlink(m_pty.SlavePath().c_str(), link.c_str()) == 0, "link made");
    fleet::DeviceInterfaceClass cls;
    cls.strFolder = dir;
    fleet::UsbPortTiming timing;
    timing.blockingBound = replyBound;
    // A read that does not wait looks twice and returns: no polling pauses.
    timing.nPasses = 2;
    timing.nPolls = 0;
    m_port.SetTiming(timing);
    // Open reports its tries on stdout, as detection does.
    std::fflush(stdout);
    FUZZ_CHECK(m_port.Open(cls, 0), "the PDA port opens");
    m_thread = std::thread([this] {
        while (!m_bStop) {
            pollfd p{m_pty.MasterFd(), POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                std::lock_guard<std::mutex> lock(m_lock);
                ReadAll();
            }
        }
    });
}

CPdaLink::~CPdaLink() {
    m_bStop = true;
    m_thread.join();
    m_port.Close();
    close(m_hProbe);
}

void CPdaLink::ReadAll() {
    uint8_t buf[8192];
    for (;;) {
        const ssize_t n = read(m_pty.MasterFd(), buf, sizeof buf);
        if (n <= 0) {
            return;
        }
        m_written.insert(m_written.end(), buf, buf + n);
    }
}

void CPdaLink::Reply(const std::vector<uint8_t>& bytes, size_t nQueued) {
    if (!bytes.empty()) {
        m_pty.Write(bytes);
    }
    // The line hands bytes over asynchronously: wait until they are there.
    for (int i = 0; i < 100000; ++i) {
        int n = 0;
        if (ioctl(m_hProbe, FIONREAD, &n) != 0 || static_cast<size_t>(n) >= nQueued) {
            return;
        }
        std::this_thread::yield();
    }
}

void CPdaLink::ClearReplies() {
    (void)tcflush(m_hProbe, TCIFLUSH);
}

std::vector<uint8_t> CPdaLink::Take() {
    std::lock_guard<std::mutex> lock(m_lock);
    ReadAll();
    std::vector<uint8_t> out;
    out.swap(m_written);
    return out;
}

}  // namespace fuzzsupport
