#include "oriel/link/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "oriel/link/port_names.h"
#include "platform/baud_rate.h"
#include "platform/diag_log.h"
#include "platform/format.h"
#include "platform/port_open_failure.h"
#include "platform/prompts.h"

namespace oriel {

namespace {

void Trace(const std::string& text) {
    platform::Diag("link", text);
}

// USB serial adapters hold back short reads for their latency timer unless
// told otherwise; a stop-and-wait protocol would lose half its rate to that.
void RequestLowLatency(int fd) {
#ifdef __linux__
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(fd, TIOCSSERIAL, &ss) != 0) {
            Trace("low-latency flag refused by the driver");
        }
    }
#else
    (void)fd;
#endif
}

void DeassertDtr(int fd) {
    int bits = TIOCM_DTR;
    // Pseudo-terminals have no modem lines; nothing to do there.
    (void)ioctl(fd, TIOCMBIC, &bits);
}

bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const unsigned major = ::major(st.st_rdev);
    return major >= 136 && major <= 143;  // Unix98 pty slaves
}

}  // namespace

std::string CSerialPort::NoticeText(SerialNotice notice, const std::string& strPortName) {
    if (notice == kNoticeQueueFull) {
        return "m_QueueRead FULL!";
    }
    if (notice == kNoticePortGone) {
        return "The handset's port went away!";
    }
    return "Error while creating ThreadWatchComm, " + strPortName;
}

CSerialPort::CSerialPort() = default;

CSerialPort::~CSerialPort() {
    Close();
    ReleaseHandles();
}

void CSerialPort::ShowMessage(const std::string& text) {
    if (m_pPrompts != nullptr) {
        m_pPrompts->MessageBox(text, platform::MsgButtons::Ok, platform::MsgIcon::None);
    } else {
        Trace("message: " + text);
    }
}

bool CSerialPort::Open(uint16_t nPort, uint32_t nBaud, bool bNoThread) {
    return OpenPath(ResolvePortPath(m_pSettings, nPort), nPort, nBaud, bNoThread);
}

bool CSerialPort::OpenPath(const std::string& strPath, uint16_t nPort, uint32_t nBaud,
                           bool bNoThread) {
    // An Open over an open port would leak its handle and orphan its thread.
    Close();
    m_bOpen = 0;
    m_nPortNumber = nPort;
    m_strPortName = BuildPortName(nPort);
    m_strDevicePath = strPath;
    m_openFailure = {};
    ReleaseHandles();

    m_hWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_hWake < 0) {
        return false;
    }
    if (strPath.empty()) {
        Trace(m_strPortName + ": no device path configured");
        m_openFailure.problem = platform::PortProblem::Missing;
        m_openFailure.strCause = m_strPortName + ": no device path configured";
        return false;
    }
    const int fd = ::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        Trace(platform::Format("%s: open %s failed: %s", m_strPortName.c_str(), strPath.c_str(),
                               std::strerror(error)));
        m_openFailure = platform::ExplainPortOpenFailure(strPath, error);
        return false;
    }
    // TIOCEXCL keeps other processes out (root excepted); the lock also keeps
    // out a second opener in this process and root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Trace(m_strPortName + ": " + strPath + " is held by another user");
        ::close(fd);
        m_openFailure = platform::ExplainPortOpenFailure(strPath, EWOULDBLOCK);
        return false;
    }
    (void)ioctl(fd, TIOCEXCL);
    m_hPort = fd;
    RequestLowLatency(fd);

    if (!ConfigureLine(nBaud, 8, Parity::None, StopBits::One)) {
        if (isatty(m_hPort) == 0) {
            m_openFailure = platform::NotATerminal(strPath);
        }
        ShowMessage("Fail!!");
        (void)ioctl(m_hPort, TIOCNXCL);
        ::close(m_hPort);
        m_hPort = -1;
        return false;
    }
    m_bOpen = 1;

    if (!bNoThread) {
        try {
            m_bThreadAlive = true;
            m_thread = std::thread(&CSerialPort::ThreadWatchComm, this);
        } catch (const std::system_error&) {
            m_bThreadAlive = false;
            ShowMessage("CreateThread Fail!!");
            Close();
            return false;
        }
    }
    return true;
}

bool CSerialPort::ConfigureLine(uint32_t nBaud, uint8_t nByteSize, Parity parity,
                                StopBits stopBits) {
    unsigned int speed = 0;
    if (m_hPort < 0 || !platform::BaudToSpeed(nBaud, speed) || nByteSize < 5 || nByteSize > 8) {
        return false;
    }
    (void)tcflush(m_hPort, TCIOFLUSH);
    termios tio{};
    if (tcgetattr(m_hPort, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSIZE | PARENB | PARODD | CSTOPB);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[nByteSize - 5];
    if (parity != Parity::None) {
        tio.c_cflag |= PARENB;
        if (parity == Parity::Odd) {
            tio.c_cflag |= PARODD;
        }
    }
    if (stopBits == StopBits::Two) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    const bool bSet = tcsetattr(m_hPort, TCSANOW, &tio) == 0;
    termios check{};
    if (tcgetattr(m_hPort, &check) != 0 || cfgetospeed(&check) != speed ||
        (check.c_cflag & CSIZE) != (tio.c_cflag & CSIZE)) {
        return false;
    }
    if (!bSet) {
        // A pseudo-terminal (the simulated handset) carries no parity and the
        // C library reports the dropped bit as a failure; any other line must
        // take the whole format.
        if (!IsPseudoTerminal(m_hPort)) {
            return false;
        }
        Trace(m_strPortName + ": pseudo-terminal keeps no parity or stop-bit setting");
    }
    DeassertDtr(m_hPort);
    return true;
}

bool CSerialPort::SetLineFormat(uint32_t nBaud, uint8_t nByteSize, Parity parity,
                                StopBits stopBits) {
    return ConfigureLine(nBaud, nByteSize, parity, stopBits);
}

size_t CSerialPort::Send(const uint8_t* pData, size_t nLength) {
    if (m_hPort < 0) {
        return 0;
    }
    size_t sent = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (sent < nLength) {
        const ssize_t n = ::write(m_hPort, pData + sent, nLength - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            const auto stalled = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - lastProgress)
                                     .count();
            if (stalled >= kSendStallLimitMs) {
                Trace(m_strPortName + ": send stalled, giving up");
                break;
            }
            pollfd pfd{m_hPort, POLLOUT, 0};
            (void)poll(&pfd, 1, 100);
            continue;
        }
        Trace(platform::Format("%s: write failed: %s", m_strPortName.c_str(),
                               n < 0 ? std::strerror(errno) : "no progress"));
        break;
    }
    if (sent < nLength) {
        (void)tcflush(m_hPort, TCOFLUSH);  // the driver's error state, cleared
    }
    return sent;
}

void CSerialPort::DrainOutput(int fd) {
    int pending = 0;
    for (int waited = 0; waited < kCloseDrainLimitMs; ++waited) {
        if (ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0) {
            return;
        }
        usleep(1000);
    }
    Trace(platform::Format("%s: %d bytes not sent at close", m_strPortName.c_str(), pending));
}

void CSerialPort::Close() {
    m_bOpen = 0;
    if (m_hWake >= 0) {
        const uint64_t one = 1;
        if (::write(m_hWake, &one, sizeof one) < 0) {
            Trace("wake-up of the receive thread failed");
        }
    }
    // The thread wakes at once on the event; joining it here means it can never
    // touch a closed (or reused) descriptor.
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    }
    if (m_hPort >= 0) {
        // A blocking send only hands bytes to the driver. The last ones (the
        // rate byte, the power-on byte) must still reach the line before the
        // purge, or the handset never sees them.
        DrainOutput(m_hPort);
        (void)tcflush(m_hPort, TCIFLUSH);
        (void)ioctl(m_hPort, TIOCNXCL);
        ::close(m_hPort);
        m_hPort = -1;
    }
}

void CSerialPort::ReleaseHandles() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_hWake >= 0) {
        ::close(m_hWake);
        m_hWake = -1;
    }
}

void CSerialPort::PostNotice(SerialNotice notice) {
    if (m_pSink != nullptr) {
        m_pSink->PostMessage(WM_COMM_NOTICE, m_nPortNumber, notice);
    } else {
        Trace(NoticeText(notice, m_strPortName));
    }
}

void CSerialPort::DeliverChunk(const uint8_t* pData, int32_t n) {
    if (n <= 0) {
        return;
    }
    if (!m_QueueRead.PushAll(pData, n)) {
        PostNotice(kNoticeQueueFull);
    }
}

void CSerialPort::PostAfterReads() {
    const int32_t count = m_QueueRead.Count();
    if (count == 0 || m_pSink == nullptr) {
        return;
    }
    if (m_bBlockMode.load() == 0 || count == kBlockModeWakeCount) {
        m_pSink->PostMessage(WM_COMM_RXCHAR, m_nPortNumber, 0);
    }
}

void CSerialPort::PostWakeUp() {
    if (m_pSink != nullptr) {
        m_pSink->PostMessage(WM_COMM_RXCHAR, m_nPortNumber, 0);
    }
}

void CSerialPort::ThreadWatchComm(CSerialPort* pPort) {
    const int fd = pPort->m_hPort;
    const int wake = pPort->m_hWake;
    if (fd < 0 || wake < 0) {
        pPort->PostNotice(kNoticeThreadError);
        pPort->m_bThreadAlive = false;
        return;
    }
    uint8_t buffer[kReadChunk];
    while (pPort->m_bOpen.load() == 1) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        const int r = poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((fds[1].revents & POLLIN) != 0 || pPort->m_bOpen.load() != 1) {
            break;
        }
        bool bGotData = false;
        bool bGone = false;
        if ((fds[0].revents & POLLIN) != 0) {
            for (;;) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV)) {
                    bGone = true;  // the device went away under us
                    break;
                }
                if (n <= 0) {
                    break;  // nothing more buffered, or an error counted as 0 bytes
                }
                bGotData = true;
                pPort->DeliverChunk(buffer, static_cast<int32_t>(n));
            }
            pPort->PostAfterReads();
        }
        if (bGone || (!bGotData && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)) {
            // The far end is gone (adapter unplugged, peer closed). Say so once
            // and wait for Close(); a vanished handset must end the operation,
            // not leave it waiting in silence.
            pPort->PostNotice(kNoticePortGone);
            pollfd w{wake, POLLIN, 0};
            while (pPort->m_bOpen.load() == 1 && poll(&w, 1, -1) < 0 && errno == EINTR) {
            }
            break;
        }
    }
    pPort->m_bThreadAlive = false;
}

}  // namespace oriel
