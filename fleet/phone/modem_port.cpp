#include "fleet/phone/modem_port.h"

#include <filesystem>

#include "fleet/transport/tty_device.h"

namespace fleet {

std::string FindModemPort(const ModemInterfaceClass& modem, uint32_t nComNumber,
                          const std::string& strDeviceName) {
    if (nComNumber == 0) {
        return {};
    }
    // ComPort takes only device paths: a folder given relative (a command
    // line's --watch dev) is made absolute here.
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::absolute(modem.strFolder, ec);
    if (ec) {
        folder = modem.strFolder;
    }
    const std::string strFolder = folder.lexically_normal().string();
    std::string found;
    for (const std::string& name : tty::ListMatching(modem.strFolder, modem.strPattern)) {
        const std::string path = (strFolder.ends_with('/') ? strFolder : strFolder + "/") + name;
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
