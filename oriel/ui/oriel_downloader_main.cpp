// oriel_downloader: one handset over one serial port. No arguments.
#include "oriel/ui/downloader_app.h"

int main(int argc, char** argv) {
    oriel::CDownloaderApp app(argc, argv);
    return app.Run();
}
