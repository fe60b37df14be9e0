// fleet_downloader: up to eight handsets at once. No arguments beyond
// --help, --version and Qt's own.

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
    "PdaPattern, ModemPattern, VendorId; group Logs: Dir; group History: Database,\n"
    "Station).\n";

}  // namespace

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "fleet_downloader")) {
        return 0;
    }
    if (platform::PrintHelpIfAsked(argc, argv, kHelp)) {
        return 0;
    }
    fleet::CMultiDownloadApp app(argc, argv);
    return app.Run();
}
