#pragma once
// fleet_cli --list-ports: the links of the device folder, which of them the
// PDA and modem patterns take, and what sits behind each.

#include <cstdio>

#include "cli/fleet/fleet_cli_options.h"

namespace fleetcli {

// Always 0: a missing folder or an empty one is said, not an error.
int ListPorts(const FleetCliOptions& options, std::FILE* out);

}  // namespace fleetcli
