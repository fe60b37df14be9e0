#pragma once
// The serial ports present on the machine against the COM numbers the
// settings map to devices ("Ports/COMn"): which COM number opens which
// port, the COM number a newly picked port takes, and the listing of
// oriel_cli --list-ports.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/serial_port_list.h"

namespace platform {
class ISettingsStore;
}

namespace oriel {

struct ComMapping {
    uint16_t nPort = 0;
    std::string strPath;                                 // the configured device path
    bool bConfigured = false;                            // differs from the default
    const platform::SerialPortInfo* pPresent = nullptr;  // the listed port it opens, if any
};

// COM1..COM20 in order. The pointers point into `ports`.
std::vector<ComMapping> MapComNumbers(const std::vector<platform::SerialPortInfo>& ports,
                                      const platform::ISettingsStore* pSettings);

// The ports no COM number opens, in listing order (pointers into `ports`).
std::vector<const platform::SerialPortInfo*> UnmappedPorts(
    const std::vector<platform::SerialPortInfo>& ports, const std::vector<ComMapping>& mappings);

// The COM number a port picked from the list takes: the lowest whose device
// is not present and was never configured, else the lowest whose device is
// not present; 0 when every COM number opens a present port.
uint16_t FreeComNumber(const std::vector<ComMapping>& mappings);

// What oriel_cli --list-ports prints: one line per present port (path, the
// node it leads to, the COM numbers that open it, maker/model/serial), then
// the configured COM numbers whose device is not among them.
std::string PortListingText(const std::vector<platform::SerialPortInfo>& ports,
                            const platform::ISettingsStore* pSettings);

}  // namespace oriel
