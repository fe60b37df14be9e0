#include "cli/oriel/cli_ports.h"

#include "oriel/link/port_choice.h"
#include "oriel/link/port_names.h"
#include "platform/qsettings_store.h"
#include "platform/serial_port_list.h"
#include "platform/settings_store.h"

namespace orielcli {

namespace {

constexpr char kOrganisation[] = "ORIEL Tools";
constexpr char kApplication[] = "oriel_downloader";

}  // namespace

std::unique_ptr<platform::ISettingsStore> PortSettings(const CliOptions& options) {
    const auto nPort = static_cast<uint16_t>(options.handshake.nComIndex + 1);
    if (!options.strPortPath.empty()) {
        auto memory = std::make_unique<platform::CMemorySettingsStore>();
        memory->SetString("Ports", oriel::PortSettingsKey(nPort), options.strPortPath);
        return memory;
    }
    if (!options.strSettingsFile.empty()) {
        return std::make_unique<platform::CQSettingsStore>(options.strSettingsFile);
    }
    return std::make_unique<platform::CQSettingsStore>(kOrganisation, kApplication);
}

int ListPorts(const CliOptions& options, std::FILE* out) {
    const std::unique_ptr<platform::ISettingsStore> settings = PortSettings(options);
    const std::vector<platform::SerialPortInfo> ports = platform::ListSerialPorts();
    std::fputs(oriel::PortListingText(ports, settings.get()).c_str(), out);
    return 0;
}

}  // namespace orielcli
