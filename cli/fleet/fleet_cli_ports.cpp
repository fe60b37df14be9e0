#include "cli/fleet/fleet_cli_ports.h"

#include <dirent.h>

#include <string>
#include <vector>

#include "fleet/transport/device_folder_watch.h"
#include "fleet/transport/usb_device_port.h"
#include "platform/format.h"
#include "platform/serial_port_list.h"
#include "platform/text_columns.h"

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
    std::vector<std::vector<std::string>> rows = {{"LINK", "DEVICE", "ROLE", "USB DEVICE"}};
    for (const platform::SerialPortInfo& port : ports) {
        std::string role = "-";
        if (fleet::LinkNameMatches(port.strName, options.strPdaPattern)) {
            role = fleet::OfAnotherVendor(pda, port.strName) ? "PDA (other vendor: passed over)"
                                                             : "PDA";
        } else if (fleet::LinkNameMatches(port.strName, options.strModemPattern)) {
            role = "modem";
        }
        std::string usb = port.Description();
        if (!port.usb.strVendorId.empty()) {
            usb =
                port.usb.strVendorId + ":" + port.usb.strProductId + (usb.empty() ? "" : " " + usb);
        }
        rows.push_back({port.strName, port.strDevice, role, usb});
    }
    std::fputs(platform::FormatColumns(rows).c_str(), out);
    return 0;
}

}  // namespace fleetcli
