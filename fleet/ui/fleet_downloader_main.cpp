// fleet_downloader: up to eight handsets at once.

#include "fleet/ui/multi_download_app.h"

int main(int argc, char** argv) {
    fleet::CMultiDownloadApp app(argc, argv);
    return app.Run();
}
