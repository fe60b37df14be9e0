#include "fleet/phone/modem_port.h"

#include "fleet/transport/tty_device.h"

namespace fleet {

std::string FindModemPort(const ModemInterfaceClass& modem, uint32_t nComNumber,
                          const std::string& strDeviceName) {
    if (nComNumber == 0) {
        return {};
    }
    std::string found;
    for (const std::string& name : tty::ListMatching(modem.strFolder, modem.strPattern)) {
        const std::string path = modem.strFolder + "/" + name;
        if (tty::PortNumberOfTty(path) != nComNumber) {
            continue;
        }
        if (!strDeviceName.empty() && name.find(strDeviceName) != std::string::npos) {
            return path;
        }
        if (found.empty()) {
            found = path;
        }
    }
    return found;
}

}  // namespace fleet
