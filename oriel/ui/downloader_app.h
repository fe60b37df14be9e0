#pragma once
// The application object of oriel_downloader: names the settings store,
// runs the main dialog modally and ends when it closes.

#include <QApplication>

namespace oriel {

class CDownloaderApp : public QApplication {
  public:
    CDownloaderApp(int& argc, char** argv);
    // The whole program: returns the exit status.
    int Run();
};

}  // namespace oriel
