#include "fleet/transport/tty_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fleet/transport/stop_token.h"
#include "platform/baud_rate.h"
#include "platform/serial_port_list.h"

namespace fleet::tty {

int OpenExclusive(const std::string& strPath, std::string& strWhy, int* pnError) {
    auto fail = [&](int nError, const char* pszWhy) {
        strWhy = pszWhy != nullptr ? pszWhy : std::strerror(nError);
        if (pnError != nullptr) {
            *pnError = nError;
        }
        return -1;
    };
    const int fd = ::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return fail(errno, nullptr);
    }
    if (!isatty(fd)) {
        ::close(fd);
        return fail(ENOTTY, "not a terminal device");
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return fail(EWOULDBLOCK, "held by another opener");
    }
    (void)ioctl(fd, TIOCEXCL);
    if (pnError != nullptr) {
        *pnError = 0;
    }
    return fd;
}

void Close(int fd) {
    if (fd >= 0) {
        (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
}

bool MakeRaw(int fd, const LineSettings& settings, std::string& strWhy) {
    speed_t speed = 0;
    if (!platform::BaudToSpeed(settings.nBaud, speed)) {
        strWhy = "unsupported baud rate " + std::to_string(settings.nBaud);
        return false;
    }
    if (settings.nDataBits < 5 || settings.nDataBits > 8 ||
        (settings.nStopBits != 1 && settings.nStopBits != 2)) {
        strWhy = "unsupported character format";
        return false;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        strWhy = std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[settings.nDataBits - 5];
    switch (settings.parity) {
        case Parity::None:
            break;
        case Parity::Odd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case Parity::Even:
            tio.c_cflag |= PARENB;
            break;
        case Parity::Mark:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case Parity::Space:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (settings.nStopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        strWhy = std::strerror(errno);
        return false;
    }
    // tcsetattr succeeds when any one setting took; the ones that matter must all have.
    termios check{};
    if (tcgetattr(fd, &check) != 0 || (check.c_lflag & (ECHO | ICANON)) != 0 ||
        (check.c_cflag & CSIZE) != (tio.c_cflag & CSIZE)) {
        strWhy = "line settings not taken";
        return false;
    }
    return true;
}

void Purge(int fd) {
    (void)tcflush(fd, TCIOFLUSH);
}

int BytesQueued(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) {
        return -1;
    }
    return n;
}

WaitResult WaitReadable(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (StopRequested()) {
            return WaitResult::Failed;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        // A thread that may be asked to stop looks again every slice.
        const int64_t slice =
            StopWatched() ? std::min<int64_t>(left.count(), kStopSlice.count()) : left.count();
        pollfd pfd{fd, POLLIN, 0};
        const int r = poll(&pfd, 1, static_cast<int>(std::max<int64_t>(0, slice)));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 || (pfd.revents & (POLLERR | POLLNVAL)) != 0) {
            return WaitResult::Failed;
        }
        if ((pfd.revents & POLLIN) != 0) {
            return WaitResult::Readable;
        }
        if ((pfd.revents & POLLHUP) != 0) {
            return WaitResult::Failed;
        }
        if (r == 0 && slice >= left.count()) {
            return WaitResult::TimedOut;
        }
    }
}

size_t ReadAvailable(int fd, uint8_t* pData, size_t n) {
    for (;;) {
        const ssize_t r = ::read(fd, pData, n);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r > 0 ? static_cast<size_t>(r) : 0;
    }
}

size_t WriteAll(int fd, const uint8_t* pData, size_t n, std::chrono::milliseconds stall) {
    size_t done = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (done < n) {
        // Asked to stop: what is not written yet is not, and the caller's
        // step fails as for a line that stalled.
        if (StopRequested()) {
            break;
        }
        const ssize_t w = ::write(fd, pData + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && errno != EAGAIN) {
            break;
        }
        const auto left = stall - std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - lastProgress);
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{fd, POLLOUT, 0};
        (void)poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left.count(), 100)));
    }
    return done;
}

std::vector<std::string> ListMatching(const std::string& strFolder, const std::string& strPattern) {
    std::vector<std::string> names;
    DIR* dir = opendir(strFolder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && fnmatch(strPattern.c_str(), name.c_str(), 0) == 0) {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

uint32_t DeviceNumber(const std::string& strPath) {
    std::string name = strPath;
    if (char* real = realpath(strPath.c_str(), nullptr)) {
        name = real;
        std::free(real);
    }
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') {
        --digits;
    }
    const std::string number = name.substr(digits, 9);  // nine digits always fit
    return number.empty() ? 0 : static_cast<uint32_t>(std::strtoul(number.c_str(), nullptr, 10));
}

std::string NormaliseVendorId(const std::string& strText) {
    std::string hex = strText;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) {
        hex = hex.substr(2);
    }
    if (hex.size() != 4) {
        return {};
    }
    for (char& c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            return {};
        }
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex;
}

std::string UsbVendorOfTty(const std::string& strPath, const std::string& strSysRoot) {
    return NormaliseVendorId(platform::UsbDeviceOfTty(strPath, strSysRoot).strVendorId);
}

}  // namespace fleet::tty
