#include "fleet/transport/com_port.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "fleet/transport/stop_token.h"
#include "fleet/transport/tty_device.h"
#include "platform/diag_log.h"

namespace fleet {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal number at pos (at least one digit, at most nine); false otherwise.
bool NumberAt(const std::string& text, size_t pos, uint32_t& value, size_t* pEnd = nullptr) {
    if (pos >= text.size() || !IsDigit(text[pos])) {
        return false;
    }
    uint64_t v = 0;
    size_t i = pos;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
        if (v > 0xFFFFFFFFu) {
            return false;
        }
    }
    value = static_cast<uint32_t>(v);
    if (pEnd != nullptr) {
        *pEnd = i;
    }
    return true;
}

tty::Parity ToTtyParity(int nParity) {
    switch (nParity) {
        case kParityNone:
            return tty::Parity::None;
        case kParityOdd:
            return tty::Parity::Odd;
        case kParityEven:
            return tty::Parity::Even;
        case kParityMark:
            return tty::Parity::Mark;
        default:
            return tty::Parity::Space;
    }
}

}  // namespace

bool ParseComSettings(const std::string& strSettings, ComSettings& settings) {
    std::string upper = strSettings;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const size_t colon = upper.find(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    ComSettings out;
    const bool bPath = strSettings[0] == '/';
    out.strDevice = bPath ? strSettings.substr(0, colon) : upper.substr(0, colon);

    if (bPath) {
        size_t digits = colon;
        while (digits > 0 && IsDigit(strSettings[digits - 1])) {
            --digits;
        }
        uint32_t number = 0;
        if (digits < colon && NumberAt(strSettings.substr(0, colon), digits, number)) {
            out.nPort = number;
        }
    } else {
        size_t first = 0;
        while (first < colon && std::strchr("\\.COM", upper[first]) != nullptr) {
            ++first;
        }
        uint32_t number = 0;
        out.nPort = NumberAt(upper.substr(0, colon), first, number) ? number : 0;
    }

    size_t afterBaud = 0;
    if (!NumberAt(upper, colon + 1, out.nBaud, &afterBaud) || afterBaud >= upper.size() ||
        upper[afterBaud] != ',') {
        return false;
    }
    const size_t parityAt = afterBaud + 1;
    if (parityAt >= upper.size()) {
        return false;
    }
    switch (upper[parityAt]) {
        case 'N':
            out.nParity = kParityNone;
            break;
        case 'O':
            out.nParity = kParityOdd;
            break;
        case 'E':
            out.nParity = kParityEven;
            break;
        case 'M':
            out.nParity = kParityMark;
            break;
        default:
            out.nParity = kParitySpace;
            break;
    }
    // The fields sit two characters apart: a one-digit data-bits field.
    uint32_t dataBits = 0;
    uint32_t stopBits = 0;
    if (!NumberAt(upper, parityAt + 2, dataBits) || !NumberAt(upper, parityAt + 4, stopBits)) {
        return false;
    }
    out.nDataBits = static_cast<int>(dataBits);
    out.nStopBits = static_cast<int>(std::min<uint32_t>(stopBits, 255));
    settings = out;
    return true;
}

int ComPort::Initialise() {
    if (!m_receive) {
        m_receive.reset(new (std::nothrow) uint8_t[kComReceiveBufferSize]);
    }
    return m_receive ? 1 : 0;
}

int ComPort::Open(const std::string& strSettings) {
    Close();
    m_nOpenError = 0;
    ComSettings settings;
    if (!ParseComSettings(strSettings, settings)) {
        platform::Diag("com", "settings not understood: " + strSettings);
        return 0;
    }
    m_nBaud = settings.nBaud;
    m_nPort = settings.nPort;
    m_strDevice = settings.strDevice;
    if (settings.strDevice.empty() || settings.strDevice[0] != '/') {
        // Only a device path names a port here; a relative name would open a
        // file in whatever folder the program runs in.
        platform::Diag("com", settings.strDevice + ": not a device path");
        return 0;
    }
    if (Initialise() != 1) {
        return 0;
    }
    tty::LineSettings line;
    line.nBaud = settings.nBaud;
    line.parity = ToTtyParity(settings.nParity);
    line.nDataBits = settings.nDataBits;
    line.nStopBits = settings.nStopBits == 2 ? 2 : (settings.nStopBits == 0 ? 1 : 0);
    std::string why;
    const int fd = tty::OpenExclusive(settings.strDevice, why, &m_nOpenError);
    if (fd < 0) {
        platform::Diag("com", settings.strDevice + ": " + why);
        return 0;
    }
    if (!tty::MakeRaw(fd, line, why)) {
        platform::Diag("com", settings.strDevice + ": " + why);
        tty::Close(fd);
        return 0;
    }
    tty::Purge(fd);
    m_hPort = fd;
    m_nPort = tty::DeviceNumber(settings.strDevice);
    StoppableSleep(m_settle);
    return 1;
}

int ComPort::Close() {
    if (m_hPort < 0) {
        return 0;
    }
    tty::Close(m_hPort);
    m_hPort = -1;
    m_receive.reset();
    return 1;
}

int ComPort::Write(const uint8_t* pData, size_t nLength) {
    if (m_hPort < 0) {
        return 0;
    }
    // A write the line has not taken whole within the time-out is a failure,
    // never a success with bytes missing.
    return tty::WriteAll(m_hPort, pData, nLength, kComWriteTimeout) == nLength ? 1 : 0;
}

size_t ComPort::ReadInto(uint8_t* pDest, size_t nCapacity) {
    if (m_hPort < 0 || !m_receive || pDest == nullptr) {
        return 0;
    }
    const int queued = tty::BytesQueued(m_hPort);
    if (queued <= 0) {
        return 0;
    }
    const size_t n = std::min({static_cast<size_t>(queued), kComReceiveBufferSize, nCapacity});
    const size_t got = tty::ReadAvailable(m_hPort, m_receive.get(), n);
    std::memcpy(pDest, m_receive.get(), got);
    return got;
}

int ComPort::WaitReceive(std::chrono::milliseconds timeout) {
    if (m_hPort < 0) {
        return -1;
    }
    if (tty::BytesQueued(m_hPort) > 0) {
        return 1;
    }
    switch (tty::WaitReadable(m_hPort, timeout)) {
        case tty::WaitResult::Readable:
            return 1;
        case tty::WaitResult::TimedOut:
            return 0;
        case tty::WaitResult::Failed:
            break;
    }
    return -1;
}

}  // namespace fleet
