#pragma once
// The serial ports present on this machine, as an operator picks them: the
// stable /dev/serial/by-id links first (name order), then ports that have no
// such link (a built-in UART), each with its maker, model and serial number
// where the USB device tells them (sysfs). No Qt.

#include <string>
#include <vector>

namespace platform {

struct UsbDeviceInfo {
    std::string strVendorId;  // "0403", as sysfs has it
    std::string strProductId;
    std::string strMaker;  // the device's own strings; empty where it has none
    std::string strModel;
    std::string strSerial;
};

// The USB device a tty sits on, found by walking up from
// SYSROOT/class/tty/<name>/device; all empty when there is none (a
// pseudo-terminal, a built-in UART). strPath may be a link to the tty.
UsbDeviceInfo UsbDeviceOfTty(const std::string& strPath, const std::string& strSysRoot = "/sys");

struct SerialPortInfo {
    std::string strPath;    // what to open and store: /dev/serial/by-id/NAME or /dev/ttyS0
    std::string strName;    // the link's name, or the tty's
    std::string strDevice;  // the node it leads to: /dev/ttyUSB0
    UsbDeviceInfo usb;
    // "FTDI FT232R USB UART, serial A1B2C3"; empty when nothing is known.
    std::string Description() const;
};

struct SerialPortScan {
    std::string strByIdFolder = "/dev/serial/by-id";
    std::string strSysRoot = "/sys";
    std::string strDevRoot = "/dev";
    // Also ports that no by-id link leads to (built-in UARTs, devices udev
    // left without a link).
    bool bUnlinked = true;
};

std::vector<SerialPortInfo> ListSerialPorts(const SerialPortScan& scan = {});

// The listed port a configured path leads to (the same device node), or
// nullptr when the path names none of them.
const SerialPortInfo* FindPort(const std::vector<SerialPortInfo>& ports,
                               const std::string& strPath);

// The node a path leads to after every link (the path itself when that fails).
std::string ResolveDevice(const std::string& strPath);

}  // namespace platform
