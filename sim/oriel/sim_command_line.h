#pragma once
// The simulator program's command line, parsed into handset options. Kept out
// of main() so a test can check what each option turns into.

#include <string>
#include <vector>

#include "sim/oriel/handset_options.h"

namespace orielsim {

struct SimCommandLine {
    HandsetOptions options;
    bool bVerbose = false;  // notices to stderr
    bool bHelp = false;
};

// False with a message on anything it does not understand. The link is
// required unless help was asked for.
bool ParseSimCommandLine(const std::vector<std::string>& args, SimCommandLine& out,
                         std::string& error);

const char* SimUsage();

}  // namespace orielsim
