#include "platform/version.h"

#include <cstdio>
#include <cstring>

#include "platform/version_info.h"

namespace platform {

const char* SuiteVersion() {
    return ORIEL_SUITE_VERSION;
}

std::string VersionLine(const std::string& strProgram) {
    return strProgram + " (ORIEL suite) " + SuiteVersion();
}

bool PrintVersionIfAsked(int argc, char** argv, const char* pszProgram) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", VersionLine(pszProgram).c_str());
            return true;
        }
    }
    return false;
}

bool PrintHelpIfAsked(int argc, char** argv, const char* pszHelp) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(pszHelp, stdout);
            return true;
        }
    }
    return false;
}

}  // namespace platform
