#include "oriel/link/port_choice.h"

#include <sys/stat.h>

#include <algorithm>

#include "oriel/link/port_names.h"
#include "platform/format.h"
#include "platform/text_columns.h"

namespace oriel {

std::vector<ComMapping> MapComNumbers(const std::vector<platform::SerialPortInfo>& ports,
                                      const platform::ISettingsStore* pSettings) {
    std::vector<ComMapping> mappings;
    for (uint16_t n = 1; n <= kMaxPortNumber; ++n) {
        ComMapping m;
        m.nPort = n;
        m.strPath = ResolvePortPath(pSettings, n);
        m.bConfigured = m.strPath != DefaultPortPath(n);
        m.pPresent = platform::FindPort(ports, m.strPath);
        mappings.push_back(std::move(m));
    }
    return mappings;
}

std::vector<const platform::SerialPortInfo*> UnmappedPorts(
    const std::vector<platform::SerialPortInfo>& ports, const std::vector<ComMapping>& mappings) {
    std::vector<const platform::SerialPortInfo*> out;
    for (const platform::SerialPortInfo& port : ports) {
        const bool bMapped =
            std::any_of(mappings.begin(), mappings.end(), [&](const ComMapping& m) {
                return m.pPresent != nullptr && m.pPresent->strDevice == port.strDevice;
            });
        if (!bMapped) {
            out.push_back(&port);
        }
    }
    return out;
}

uint16_t FreeComNumber(const std::vector<ComMapping>& mappings) {
    for (const bool bAllowConfigured : {false, true}) {
        for (const ComMapping& m : mappings) {
            if (m.pPresent == nullptr && (bAllowConfigured || !m.bConfigured)) {
                return m.nPort;
            }
        }
    }
    return 0;
}

std::string PortListingText(const std::vector<platform::SerialPortInfo>& ports,
                            const platform::ISettingsStore* pSettings) {
    const std::vector<ComMapping> mappings = MapComNumbers(ports, pSettings);
    std::vector<std::vector<std::string>> rows = {{"PORT", "DEVICE", "COM", "MAKER MODEL, SERIAL"}};
    for (const platform::SerialPortInfo& port : ports) {
        std::string coms;
        for (const ComMapping& m : mappings) {
            if (m.pPresent == &port) {
                coms += (coms.empty() ? "" : ",") + PortSettingsKey(m.nPort);
            }
        }
        rows.push_back(
            {port.strPath, port.strDevice, coms.empty() ? "-" : coms, port.Description()});
    }
    std::string text =
        rows.size() == 1 ? "No serial ports found.\n" : platform::FormatColumns(rows);
    for (const ComMapping& m : mappings) {
        if (!m.bConfigured || m.pPresent != nullptr) {
            continue;
        }
        struct stat st {};
        const bool bThere = stat(m.strPath.c_str(), &st) == 0;
        text += platform::Format(
            "%s opens %s%s\n", PortSettingsKey(m.nPort).c_str(), m.strPath.c_str(),
            bThere ? (" (" + platform::ResolveDevice(m.strPath) + ", not a listed serial port)")
                         .c_str()
                   : ": not present");
    }
    return text;
}

}  // namespace oriel
