#pragma once
// The application object of fleet_downloader: names the settings store,
// points the workers at the configured device folder, runs the window and
// ends when it closes.

#include <QApplication>

namespace fleet {

inline constexpr char kFleetSettingsOrganisation[] = "ORIEL Tools";
inline constexpr char kFleetSettingsApplication[] = "fleet_downloader";

class CMultiDownloadApp : public QApplication {
  public:
    CMultiDownloadApp(int& argc, char** argv);
    // The whole program: returns the exit status.
    int Run();
};

}  // namespace fleet
