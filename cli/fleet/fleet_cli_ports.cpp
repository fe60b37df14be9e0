#include "cli/fleet/fleet_cli_ports.h"

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fleet/transport/device_folder_watch.h"
#include "fleet/transport/usb_device_port.h"
#include "platform/format.h"
#include "platform/serial_port_list.h"

namespace fleetcli {

int ListPorts(const FleetCliOptions& options, std::FILE* out) {
    const std::string folder = options.strWatch.empty() ? "/dev/serial/by-id" : options.strWatch;
    fleet::DeviceInterfaceClass pda;
    pda.strFolder = folder;
    pda.strPattern = options.strPdaPattern;
    pda.strVendorId = options.strVendorId;

    std::fprintf(out, "%s: PDA interfaces '%s', modem ports '%s'%s\n", folder.c_str(),
                 options.strPdaPattern.c_str(), options.strModemPattern.c_str(),
                 options.strVendorId.empty()
                     ? ""
                     : platform::Format(", vendor %s", options.strVendorId.c_str()).c_str());
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        std::fprintf(out,
                     "The folder is not there (yet): udev makes it with the first serial "
                     "device.\n");
        return 0;
    }
    closedir(dir);

    platform::SerialPortScan scan;
    scan.strByIdFolder = folder;
    scan.bUnlinked = false;
    const std::vector<platform::SerialPortInfo> ports = platform::ListSerialPorts(scan);
    if (ports.empty()) {
        std::fprintf(out, "No device links.\n");
        return 0;
    }
    struct Row {
        std::string name, device, role, description;
    };
    std::vector<Row> rows;
    size_t wName = 4;
    size_t wDevice = 6;
    size_t wRole = 4;
    for (const platform::SerialPortInfo& port : ports) {
        Row r{port.strName, port.strDevice, "-", port.Description()};
        if (fleet::LinkNameMatches(port.strName, options.strPdaPattern)) {
            r.role = fleet::OfAnotherVendor(pda, port.strName) ? "PDA (other vendor: passed over)"
                                                               : "PDA";
        } else if (fleet::LinkNameMatches(port.strName, options.strModemPattern)) {
            r.role = "modem";
        }
        if (!port.usb.strVendorId.empty()) {
            r.description = port.usb.strVendorId + ":" + port.usb.strProductId +
                            (r.description.empty() ? "" : " " + r.description);
        }
        wName = std::max(wName, r.name.size());
        wDevice = std::max(wDevice, r.device.size());
        wRole = std::max(wRole, r.role.size());
        rows.push_back(std::move(r));
    }
    auto line = [&](const Row& r) {
        std::string s =
            platform::Format("%-*s  %-*s  %-*s  %s", static_cast<int>(wName), r.name.c_str(),
                             static_cast<int>(wDevice), r.device.c_str(), static_cast<int>(wRole),
                             r.role.c_str(), r.description.c_str());
        while (!s.empty() && s.back() == ' ') {
            s.pop_back();
        }
        std::fprintf(out, "%s\n", s.c_str());
    };
    line({"LINK", "DEVICE", "ROLE", "USB DEVICE"});
    for (const Row& r : rows) {
        line(r);
    }
    return 0;
}

}  // namespace fleetcli
