// fleet_downloader: up to eight handsets at once. No arguments beyond
// --help, --version and Qt's own.

#include <cstdio>
#include <cstring>

#include "fleet/ui/multi_download_app.h"
#include "platform/version.h"

namespace {

constexpr char kHelp[] =
    "Usage: fleet_downloader [Qt options]\n"
    "The multi-slot window: up to eight handsets flashed at once.\n"
    "\n"
    "Options:\n"
    "  --help      this text\n"
    "  --version   the suite's version\n"
    "\n"
    "Settings: ~/.config/ORIEL Tools/fleet_downloader.conf (group Detection: Folder,\n"
    "PdaPattern, ModemPattern, VendorId; group Logs: Dir).\n";

}  // namespace

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "fleet_downloader")) {
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }
    fleet::CMultiDownloadApp app(argc, argv);
    return app.Run();
}
