// oriel_downloader: one handset over one serial port. No arguments beyond
// --help, --version and Qt's own.
#include <cstdio>
#include <cstring>

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
    "Settings: ~/.config/ORIEL Tools/oriel_downloader.conf (groups Setting and Ports).\n";

}  // namespace

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "oriel_downloader")) {
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }
    oriel::CDownloaderApp app(argc, argv);
    return app.Run();
}
