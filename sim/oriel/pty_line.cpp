#include "sim/oriel/pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/common/raw_pty.h"

namespace orielsim {

namespace {

std::chrono::nanoseconds ByteTime(uint32_t nBaud, int nBits) {
    return std::chrono::nanoseconds(static_cast<int64_t>(nBits) * 1000000000LL / nBaud);
}

uint32_t SpeedToBaud(speed_t speed) {
    switch (speed) {
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        case B921600:
            return 921600;
        default:
            return 0;
    }
}

}  // namespace

CPtyLine::CPtyLine(bool bPace) : m_bPace(bPace), m_byteTime(ByteTime(115200, 11)) {}

CPtyLine::~CPtyLine() {
    Close();
}

bool CPtyLine::Open(std::string& error) {
    Close();
    m_hMaster = simcommon::OpenRawPty(m_strSlave, error);
    if (m_hMaster < 0) {
        return false;
    }
    m_tx.clear();
    m_bBlocked = false;
    return true;
}

void CPtyLine::Close() {
    if (m_hMaster >= 0) {
        ::close(m_hMaster);
        m_hMaster = -1;
    }
    m_tx.clear();
}

bool CPtyLine::HostHasPortOpen() const {
    pollfd pfd{m_hMaster, POLLIN, 0};
    if (poll(&pfd, 1, 0) < 0) {
        return false;
    }
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

bool CPtyLine::Read(std::vector<RxByte>& out, TimePoint now) {
    uint8_t buf[4096];
    for (;;) {
        const ssize_t r = ::read(m_hMaster, buf, sizeof buf);
        if (r > 0) {
            for (ssize_t i = 0; i < r; ++i) {
                TimePoint arrived = now;
                if (m_bPace) {
                    // A UART takes bytes in one after another at its rate.
                    m_rxFree = (m_rxFree > now ? m_rxFree : now) + m_byteTime;
                    arrived = m_rxFree;
                }
                out.push_back({buf[i], arrived});
            }
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return HostHasPortOpen();
        }
        // EIO (or end of file): the slave has no opener any more.
        return false;
    }
}

void CPtyLine::Send(const uint8_t* p, size_t n) {
    if (n == 0) {
        return;
    }
    const TimePoint notBefore = m_eventTime > Clock::now() ? m_eventTime : Clock::now();
    if (!m_tx.empty() && m_tx.back().byteTime == m_byteTime && m_tx.back().notBefore >= notBefore &&
        m_tx.back().nPos == 0) {
        m_tx.back().data.insert(m_tx.back().data.end(), p, p + n);
        return;
    }
    m_tx.push_back({std::vector<uint8_t>(p, p + n), 0, notBefore, m_byteTime});
}

void CPtyLine::SetUart(uint32_t nBaud, int nBitsPerByte) {
    m_byteTime = ByteTime(nBaud, nBitsPerByte);
}

uint32_t CPtyLine::HostBaud() const {
    // On Linux the master reports the termios of the slave, which the host set.
    termios tio{};
    if (m_hMaster < 0 || tcgetattr(m_hMaster, &tio) != 0) {
        return 0;
    }
    return SpeedToBaud(cfgetospeed(&tio));
}

void CPtyLine::DropPending() {
    m_tx.clear();
    m_bBlocked = false;
}

std::optional<TimePoint> CPtyLine::NextSendTime() const {
    if (m_tx.empty() || m_bBlocked) {
        return std::nullopt;
    }
    if (!m_bPace) {
        return TimePoint{};
    }
    const Segment& s = m_tx.front();
    return s.notBefore > m_txFree ? s.notBefore : m_txFree;
}

bool CPtyLine::Pump(TimePoint now) {
    if (m_bBlocked) {
        // No credit for the time spent waiting: the line resumes at its rate.
        m_bBlocked = false;
        if (m_txFree < now) {
            m_txFree = now;
        }
    }
    while (!m_tx.empty()) {
        Segment& s = m_tx.front();
        size_t n = s.data.size() - s.nPos;
        TimePoint start = now;
        if (m_bPace) {
            start = s.notBefore > m_txFree ? s.notBefore : m_txFree;
            if (start > now) {
                return true;
            }
            // Bytes whose first bit is due by now.
            const auto due = static_cast<size_t>((now - start) / s.byteTime) + 1;
            n = n < due ? n : due;
        }
        const ssize_t w = ::write(m_hMaster, s.data.data() + s.nPos, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_bBlocked = true;
                return true;
            }
            return false;
        }
        const auto written = static_cast<size_t>(w);
        if (m_bPace) {
            m_txFree = start + s.byteTime * static_cast<int64_t>(written);
        }
        s.nPos += written;
        if (s.nPos == s.data.size()) {
            m_tx.pop_front();
        }
        if (written < n) {
            m_bBlocked = true;
            return true;
        }
    }
    return true;
}

}  // namespace orielsim
