#pragma once
// Where the command line finds its port paths, and oriel_cli --list-ports.

#include <cstdio>
#include <memory>

#include "cli/oriel/cli_options.h"

namespace platform {
class ISettingsStore;
}

namespace orielcli {

// The explicit --port (as COMn of --com), else --settings FILE, else the
// dialog's own settings.
std::unique_ptr<platform::ISettingsStore> PortSettings(const CliOptions& options);

// The serial ports present and the COM numbers that open them; 0.
int ListPorts(const CliOptions& options, std::FILE* out);

}  // namespace orielcli
