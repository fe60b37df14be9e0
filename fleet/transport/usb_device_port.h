#pragma once
// The PDA side of a handset: its USB download interface, a tty here. Found by
// walking the interface links of the device folder (the "interface class"),
// opened exclusively, and driven with fixed 1024-byte command packets and
// 4-byte replies. Failures are return values; nothing is shown.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fleet {

// Where the handsets' PDA interfaces appear and how their links are named.
struct DeviceInterfaceClass {
    std::string strFolder = "/dev/serial/by-id";
    std::string strPattern = "usb-*-if01*";  // shell pattern
    // Four lower-case hex digits, or empty for any vendor. A link whose tty
    // belongs to a USB device of another vendor is passed over; a tty with
    // no USB parent (the simulator's pseudo-terminals) is not filtered.
    std::string strVendorId;
    std::string strSysRoot = "/sys";
};

// Whether the link's tty belongs to a USB device of another vendor than the
// class names (never when the class names none or the tty has no USB parent).
bool OfAnotherVendor(const DeviceInterfaceClass& interfaceClass, const std::string& strName);

// The interface links of the class, in name order, without those of
// another vendor.
std::vector<std::string> InterfaceLinks(const DeviceInterfaceClass& interfaceClass);

// A blocking read of a handset that never answers ends with 0 bytes after
// this: every 4-byte reply of the PDA protocol is read with it, so a
// vanished or silent handset fails its step instead of holding the worker.
constexpr std::chrono::milliseconds kBlockingReadBound{30000};

// The read loop's passes, its polls and the bound on a blocking wait.
struct UsbPortTiming {
    int nPasses = 10;
    int nPolls = 11;
    std::chrono::milliseconds pollSleep{100};
    std::chrono::milliseconds blockingBound = kBlockingReadBound;
    // A write the line takes nothing of for this long is cut short.
    std::chrono::milliseconds writeStall{5000};
};

class UsbDevicePort {
  public:
    UsbDevicePort() = default;
    ~UsbDevicePort() { Close(); }
    UsbDevicePort(const UsbDevicePort&) = delete;
    UsbDevicePort& operator=(const UsbDevicePort&) = delete;

    void SetTiming(const UsbPortTiming& timing) { m_timing = timing; }
    const UsbPortTiming& Timing() const { return m_timing; }

    // Tries the interfaces in link-name order and keeps the first it can open
    // exclusively, so an interface another slot holds is passed over. Reports
    // each try on stdout. True when one is open.
    bool Open(const DeviceInterfaceClass& interfaceClass, int nSlot);
    // Opens exactly the interface link strName of the class's folder.
    bool OpenLink(const DeviceInterfaceClass& interfaceClass, const std::string& strName);
    // Takes over the other port's open device (the other is left closed).
    void TakeOver(UsbDevicePort& other);
    void Close();

    // The count written (short when the line stalls or fails).
    size_t Write(const uint8_t* pData, size_t nLength);
    // Blocking read.
    size_t Read(uint8_t* pData, size_t nWanted) { return Read(pData, nWanted, 1); }
    // bWait 1 waits for input within the blocking bound; 0 polls (about 1.1 s
    // a pass). What is queued, up to nWanted; 0 when nothing came.
    size_t Read(uint8_t* pData, size_t nWanted, int bWait);

    bool IsOpen() const { return m_hDevice >= 0; }
    // 1 once an enumeration has run, 0 after Close; commands that check it
    // send nothing when it is 0.
    int32_t OpenedFlag() const { return m_bOpened; }
    const std::string& DevicePath() const { return m_strDevicePath; }
    // Why the last Open could not open interfaces it tried, as the operator
    // is told (missing, busy and held by which process, not permitted and
    // how to get access); empty when it failed on none. Interfaces held by
    // this program's other slots are not counted: that is their normal state.
    std::string OpenFailureText(const std::string& strLineEnd = "\n") const;

  private:
    // Opens and sets up the path; reports the try on stdout.
    bool TryOpen(const std::string& strPath);

    int m_hDevice = -1;
    std::string m_strDevicePath;
    int32_t m_bOpened = 0;
    UsbPortTiming m_timing;
    // The links the last Open could not open, with errno of each.
    std::vector<std::pair<std::string, int>> m_failedOpens;
};

}  // namespace fleet
