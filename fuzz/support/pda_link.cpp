#include "fuzz/support/pda_link.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/scratch_dir.h"

namespace fuzzsupport {

CPdaLink::CPdaLink(std::chrono::milliseconds replyBound) {
    const std::string dir = ScratchPath("pda_link");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    const std::string link = dir + "/usb-Fuzz_Handset_1-if01";
    m_hProbe = open(m_line.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    FUZZ_CHECK(m_hProbe >= 0, "probe opened");
    FUZZ_CHECK(symlink(m_line.SlavePath().c_str(), link.c_str()) == 0, "link made");
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
}

CPdaLink::~CPdaLink() {
    m_port.Close();
    close(m_hProbe);
}

void CPdaLink::Reply(const std::vector<uint8_t>& bytes, size_t nQueued) {
    if (!bytes.empty()) {
        m_line.Write(bytes);
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

}  // namespace fuzzsupport
