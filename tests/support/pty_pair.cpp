#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

CPtyPair::CPtyPair() {
    int slave = -1;
    char name[128] = {};
    if (openpty(&m_hMaster, &slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    m_hSlaveKeep = slave;
    m_strSlave = name;
    fcntl(m_hMaster, F_SETFL, fcntl(m_hMaster, F_GETFL) | O_NONBLOCK);
}

CPtyPair::~CPtyPair() {
    if (m_hSlaveKeep >= 0) {
        close(m_hSlaveKeep);
    }
    if (m_hMaster >= 0) {
        close(m_hMaster);
    }
}

void CPtyPair::CloseMaster() {
    if (m_hMaster >= 0) {
        close(m_hMaster);
        m_hMaster = -1;
    }
}

void CPtyPair::Write(const std::vector<uint8_t>& bytes) {
    Write(bytes.data(), bytes.size());
}

void CPtyPair::Write(const uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(m_hMaster, p + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else {
            pollfd pfd{m_hMaster, POLLOUT, 0};
            poll(&pfd, 1, 100);
        }
    }
}

std::vector<uint8_t> CPtyPair::ReadExactly(size_t n, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{m_hMaster, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        uint8_t buf[4096];
        const ssize_t r = read(m_hMaster, buf, std::min(sizeof buf, n - out.size()));
        if (r > 0) {
            out.insert(out.end(), buf, buf + r);
        }
    }
    return out;
}

std::vector<uint8_t> CPtyPair::ReadAvailable(std::chrono::milliseconds quiet) {
    std::vector<uint8_t> out;
    for (;;) {
        pollfd pfd{m_hMaster, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0) {
            return out;
        }
        uint8_t buf[4096];
        const ssize_t r = read(m_hMaster, buf, sizeof buf);
        if (r <= 0) {
            return out;
        }
        out.insert(out.end(), buf, buf + r);
    }
}

unsigned int CPtyPair::SlaveSpeed() const {
    termios tio{};
    tcgetattr(m_hMaster, &tio);
    return static_cast<unsigned int>(cfgetospeed(&tio));
}

}  // namespace testsupport
