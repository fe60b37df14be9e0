#pragma once
// The thin OS layer under the two port classes: a handset's interfaces are
// ttys here. Exclusive open (TIOCEXCL keeps out other users, the lock keeps
// out a second opener in this process and root), raw line settings, queued
// byte counts, bounded waits and whole writes.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fleet::tty {

// -1 with the reason when the path cannot be opened, is no tty, or is held;
// *pnError then holds errno of the open (ENOTTY: no tty, EWOULDBLOCK: held),
// for platform::ExplainPortOpenFailure.
int OpenExclusive(const std::string& strPath, std::string& strWhy, int* pnError = nullptr);
void Close(int fd);

enum class Parity { None, Odd, Even, Mark, Space };

struct LineSettings {
    uint32_t nBaud = 115200;
    Parity parity = Parity::None;
    int nDataBits = 8;
    int nStopBits = 1;  // 1 or 2
};

// Raw mode (no echo, no line editing, no flow control, reads never block)
// with the given line settings; false when the line refuses them.
bool MakeRaw(int fd, const LineSettings& settings, std::string& strWhy);
// Discards what is queued in both directions.
void Purge(int fd);

// Bytes the driver holds for reading; -1 on an error.
int BytesQueued(int fd);

enum class WaitResult { Readable, TimedOut, Failed };
// Waits for input up to the timeout (0: only looks). A hung-up line counts as
// Failed, so callers stop waiting on a device that is gone.
WaitResult WaitReadable(int fd, std::chrono::milliseconds timeout);

// Reads what is there, up to n bytes, without waiting; 0 when nothing or on an error.
size_t ReadAvailable(int fd, uint8_t* pData, size_t n);
// Writes the whole buffer unless the line takes nothing for `stall`; the
// count written.
size_t WriteAll(int fd, const uint8_t* pData, size_t n, std::chrono::milliseconds stall);

// Names in the folder matching the shell pattern, sorted.
std::vector<std::string> ListMatching(const std::string& strFolder, const std::string& strPattern);

// The USB vendor id ("04e8", lower case) of the device a tty belongs to,
// found by walking up from its sysfs node under strSysRoot; empty when the
// tty has no USB parent (a pseudo-terminal, a built-in UART).
std::string UsbVendorOfTty(const std::string& strPath, const std::string& strSysRoot = "/sys");

// A vendor id as configured ("04E8", "0x04e8"): four lower-case hex digits,
// or empty when it is not one.
std::string NormaliseVendorId(const std::string& strText);

// The number at the end of a device name: /dev/ttyACM3 -> 3, /dev/pts/7 -> 7;
// 0 when it ends in no digit. Links are followed first.
uint32_t DeviceNumber(const std::string& strPath);
// The port number a slot keeps for a modem tty: its number + 1, because 0
// means "no port" (ttyACM0 and pts/0 are ports too). Texts show the tty's
// own number (PortNumber - 1).
inline uint32_t PortNumberOfTty(const std::string& strPath) {
    return DeviceNumber(strPath) + 1;
}

}  // namespace fleet::tty
