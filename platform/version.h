#pragma once
// One version for every program of the suite: the build's project version.
// --version prints it and the About boxes show the same line.

#include <string>

namespace platform {

// "0.3"
const char* SuiteVersion();

// "oriel_cli (ORIEL suite) 0.3"
std::string VersionLine(const std::string& strProgram);

// When an argument is --version, prints the version text on stdout and
// returns true (the program then exits 0). Checked before anything else,
// so it needs no display, port or settings.
bool PrintVersionIfAsked(int argc, char** argv, const char* pszProgram);

// The same for --help (or -h) and the given text.
bool PrintHelpIfAsked(int argc, char** argv, const char* pszHelp);

}  // namespace platform
