#include "sim/fleet/sim_line.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/common/raw_pty.h"

namespace fleetsim {

namespace {

// Unpaced, the handset takes in this much per read.
constexpr size_t kReadChunk = 65536;
// Paced, it moves this share of a second's bytes at a time.
constexpr int kPaceSlicesPerSecond = 200;

}  // namespace

CSimLine::CSimLine(uint64_t nPaceBytesPerSecond) : m_nPace(nPaceBytesPerSecond) {}

CSimLine::~CSimLine() {
    Close();
}

bool CSimLine::Open(std::string& error) {
    Close();
    // Raw from the start: the host sees exactly the handset's bytes.
    m_hMaster = simcommon::OpenRawPty(m_strSlave, error);
    if (m_hMaster < 0) {
        return false;
    }
    DropPending();
    m_rxFree = TimePoint{};
    m_txFree = TimePoint{};
    return true;
}

void CSimLine::Close() {
    Unpublish();
    if (m_hMaster >= 0) {
        ::close(m_hMaster);
        m_hMaster = -1;
    }
    DropPending();
}

bool CSimLine::Publish(const std::string& strLink, std::string& error) {
    struct stat st {};
    if (lstat(strLink.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = "refusing to replace " + strLink + ": it exists and is not a symbolic link";
            return false;
        }
        ::unlink(strLink.c_str());
    }
    if (symlink(m_strSlave.c_str(), strLink.c_str()) != 0) {
        error = "cannot create the link " + strLink + ": " + std::strerror(errno);
        return false;
    }
    m_strLink = strLink;
    return true;
}

void CSimLine::Unpublish() {
    if (m_strLink.empty()) {
        return;
    }
    // Only our own link: another handset or a test may have put one there.
    char target[PATH_MAX] = {};
    const ssize_t n = readlink(m_strLink.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == m_strSlave) {
        ::unlink(m_strLink.c_str());
    }
    m_strLink.clear();
}

bool CSimLine::HostHasPortOpen() const {
    if (m_hMaster < 0) {
        return false;
    }
    pollfd pfd{m_hMaster, POLLIN, 0};
    if (poll(&pfd, 1, 0) < 0) {
        return false;
    }
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

size_t CSimLine::Chunk() const {
    if (m_nPace == 0) {
        return kReadChunk;
    }
    const uint64_t slice = m_nPace / kPaceSlicesPerSecond;
    return static_cast<size_t>(std::clamp<uint64_t>(slice, 1, kReadChunk));
}

std::chrono::nanoseconds CSimLine::TimeFor(size_t n) const {
    return std::chrono::nanoseconds(static_cast<int64_t>(n * 1000000000ULL / m_nPace));
}

bool CSimLine::Read(std::vector<uint8_t>& out, TimePoint now) {
    if (m_hMaster < 0) {
        return false;
    }
    uint8_t buf[kReadChunk];
    for (;;) {
        if (m_nPace != 0 && m_rxFree > now) {
            return true;
        }
        const ssize_t r = ::read(m_hMaster, buf, Chunk());
        if (r > 0) {
            out.insert(out.end(), buf, buf + r);
            if (m_nPace != 0) {
                m_rxFree = std::max(m_rxFree, now) + TimeFor(static_cast<size_t>(r));
            }
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return HostHasPortOpen();
        }
        // EIO: the slave has no opener any more.
        return false;
    }
}

std::optional<TimePoint> CSimLine::NextReadTime(TimePoint now) const {
    if (m_nPace == 0 || m_rxFree <= now) {
        return std::nullopt;
    }
    return m_rxFree;
}

void CSimLine::Send(const uint8_t* p, size_t n) {
    if (n == 0 || m_hMaster < 0) {
        return;
    }
    m_tx.emplace_back(p, p + n);
    m_nPending += n;
}

void CSimLine::DropPending() {
    m_tx.clear();
    m_nFrontPos = 0;
    m_nPending = 0;
    m_bBlocked = false;
}

std::optional<TimePoint> CSimLine::NextSendTime(TimePoint now) const {
    if (m_nPending == 0 || m_bBlocked) {
        return std::nullopt;
    }
    if (m_nPace == 0 || m_txFree <= now) {
        return now;
    }
    return m_txFree;
}

bool CSimLine::Pump(TimePoint now) {
    m_bBlocked = false;
    while (!m_tx.empty()) {
        if (m_nPace != 0 && m_txFree > now) {
            return true;
        }
        std::vector<uint8_t>& front = m_tx.front();
        const size_t n = std::min(front.size() - m_nFrontPos, Chunk());
        const ssize_t w = ::write(m_hMaster, front.data() + m_nFrontPos, n);
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
        if (m_nPace != 0) {
            m_txFree = std::max(m_txFree, now) + TimeFor(written);
        }
        m_nFrontPos += written;
        m_nPending -= written;
        if (m_nFrontPos == front.size()) {
            m_tx.pop_front();
            m_nFrontPos = 0;
        }
        if (written < n) {
            m_bBlocked = true;
            return true;
        }
    }
    return true;
}

}  // namespace fleetsim
