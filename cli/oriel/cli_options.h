#pragma once
// The oriel command line: which port, which rate and mode, which operation.

#include <string>
#include <vector>

#include "oriel/boot/boot_handshake.h"

namespace orielcli {

enum class Command { None, Identify };

struct CliOptions {
    Command command = Command::None;
    std::string strPortPath;      // explicit device; otherwise COMn through the settings
    std::string strSettingsFile;  // INI file instead of the user's settings
    oriel::HandshakeSettings handshake;
    int nTimeoutSeconds = 120;  // the whole run, handshake included
    bool bQuiet = false;        // no log on stdout
    bool bHelp = false;
};

// False with a message for anything it does not understand.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& out, std::string& error);

const char* CliUsage();

}  // namespace orielcli
