#pragma once
// "About Downloader": the program's change log, newest version first.

#include <QDialog>
#include <string>

namespace oriel {

// The console's title with the build's version: "Alder2 Downloader v0.3".
std::string ConsoleTitle();

// The change log the About box shows, under the title and the version line
// that --version prints.
std::string ChangeLogText();

class CAboutDlg : public QDialog {
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace oriel
