#include "fuzz/support/pty_line.h"

#include <poll.h>
#include <unistd.h>

namespace fuzzsupport {

CPtyLine::CPtyLine() {
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

CPtyLine::~CPtyLine() {
    m_bStop = true;
    m_thread.join();
}

void CPtyLine::ReadAll() {
    uint8_t buf[8192];
    for (;;) {
        const ssize_t n = read(m_pty.MasterFd(), buf, sizeof buf);
        if (n <= 0) {
            return;
        }
        m_written.insert(m_written.end(), buf, buf + n);
    }
}

std::vector<uint8_t> CPtyLine::Take() {
    std::lock_guard<std::mutex> lock(m_lock);
    ReadAll();
    std::vector<uint8_t> out;
    out.swap(m_written);
    return out;
}

}  // namespace fuzzsupport
