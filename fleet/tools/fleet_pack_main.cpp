// fleet_pack: appends an image container to a copy of fleet_downloader (or of
// any program of this suite that reads its own container), or shows the
// container of a packed file.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fleet/images/program_file.h"
#include "fleet/tools/pack.h"
#include "platform/version.h"

namespace {

constexpr char kUsage[] =
    "Usage: fleet_pack --program PATH [--eboot FILE] --pda FILE --profile N --out PATH\n"
    "  or:  fleet_pack --inspect [PATH]\n"
    "\n"
    "Writes a copy of PROGRAM followed by the EBOOT region, the PDA region and the\n"
    "40-byte container trailer naming platform profile N (0-3), as an executable.\n"
    "--inspect shows the container of PATH (without PATH: of this program itself).\n";

bool ParseProfile(const char* text, uint32_t& value) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > 9) {
        return false;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    value = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "fleet_pack")) {
        return 0;
    }
    fleet::PackRequest request;
    bool bProfile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--inspect") {
            const std::string path = value != nullptr ? value : fleet::ProgramFilePath();
            if (value != nullptr && i + 2 < argc) {
                std::fputs(kUsage, stderr);
                return 2;
            }
            std::string report;
            const bool bOk = fleet::InspectContainer(
                path, report, value != nullptr ? std::string() : fleet::ProgramFileName());
            std::fputs(report.c_str(), stdout);
            return bOk ? 0 : 1;
        }
        if (value == nullptr) {
            std::fprintf(stderr, "fleet_pack: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        }
        if (arg == "--program") {
            request.strProgram = value;
        } else if (arg == "--eboot") {
            request.strEboot = value;
        } else if (arg == "--pda") {
            request.strPda = value;
        } else if (arg == "--out") {
            request.strOut = value;
        } else if (arg == "--profile") {
            if (!ParseProfile(value, request.nProfile)) {
                std::fprintf(stderr, "fleet_pack: --profile takes a number, not %s\n", value);
                return 2;
            }
            bProfile = true;
        } else {
            std::fprintf(stderr, "fleet_pack: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
        ++i;
    }
    if (request.strProgram.empty() || request.strPda.empty() || request.strOut.empty() ||
        !bProfile) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    fleet::ContainerTrailer trailer;
    std::string error;
    if (!fleet::PackProgram(request, trailer, error)) {
        std::fprintf(stderr, "fleet_pack: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s: EBOOT at 0x%X (%u bytes), PDA at 0x%X (%u bytes), profile %u\n",
                request.strOut.c_str(), trailer.ebootOffset, trailer.ebootSize, trailer.pdaOffset,
                trailer.pdaSize, trailer.profileIndex);
    return 0;
}
