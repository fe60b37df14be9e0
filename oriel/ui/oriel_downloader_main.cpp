// oriel_downloader: one handset over one serial port. No arguments beyond
// --help, --version and Qt's own.
#include "oriel/ui/downloader_app.h"
#include "platform/version.h"

namespace {

constexpr char kHelp[] =
    "Usage: oriel_downloader [Qt options]\n"
    "The single-handset downloader's window: one handset over one serial port.\n"
    "\n"
    "Options:\n"
    "  --help      this text\n"
    "  --version   the suite's version\n"
    "\n"
    "Settings: ~/.config/ORIEL Tools/oriel_downloader.conf (groups Setting and Ports; group\n"
    "History: Database, Station).\n";

}  // namespace

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "oriel_downloader")) {
        return 0;
    }
    if (platform::PrintHelpIfAsked(argc, argv, kHelp)) {
        return 0;
    }
    oriel::CDownloaderApp app(argc, argv);
    return app.Run();
}
