#include "oriel/link/port_names.h"

#include "platform/format.h"
#include "platform/settings_store.h"

namespace oriel {

std::string BuildPortName(uint16_t nPort) {
    if (nPort < 10) {
        return platform::Format("COM%d", nPort);
    }
    return platform::Format("\\\\.\\COM%d", nPort);
}

std::string PortSettingsKey(uint16_t nPort) {
    return platform::Format("COM%d", nPort);
}

std::string DefaultPortPath(uint16_t nPort) {
    if (nPort >= 1 && nPort <= 4) {
        return platform::Format("/dev/ttyS%d", nPort - 1);
    }
    if (nPort >= 5 && nPort <= 12) {
        return platform::Format("/dev/ttyUSB%d", nPort - 5);
    }
    if (nPort >= 13 && nPort <= kMaxPortNumber) {
        return platform::Format("/dev/ttyACM%d", nPort - 13);
    }
    return {};
}

std::string ResolvePortPath(const platform::ISettingsStore* pSettings, uint16_t nPort) {
    const std::string def = DefaultPortPath(nPort);
    if (pSettings == nullptr) {
        return def;
    }
    return pSettings->GetString("Ports", PortSettingsKey(nPort), def);
}

}  // namespace oriel
