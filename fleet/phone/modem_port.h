#pragma once
// Where a handset's modem port is found once its USB connection is switched
// over. The window knows the port by its number (the number of the tty the
// system gave it: ttyACM3 -> 3, pts/7 -> 7); the port itself is the modem
// interface link of the handset in the device folder whose tty has that
// number.

#include <cstdint>
#include <string>

namespace fleet {

struct ModemInterfaceClass {
    std::string strFolder = "/dev/serial/by-id";
    std::string strPattern = "usb-*-if00*";  // shell pattern
};

// The link (full path) of the modem port numbered nComNumber; one whose
// name holds the handset's device name is preferred when several tty
// numbers agree (ttyACM3 and ttyUSB3). Empty when there is none (yet).
std::string FindModemPort(const ModemInterfaceClass& modem, uint32_t nComNumber,
                          const std::string& strDeviceName);

// Line settings of the modem port, after the device path.
constexpr char kModemLineSettings[] = ":115200,N,8,0";

}  // namespace fleet
