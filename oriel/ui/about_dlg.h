#pragma once
// "About Downloader": the program's change log, newest version first.

#include <QDialog>
#include <string>

namespace oriel {

// The change log the About box shows.
std::string ChangeLogText();

class CAboutDlg : public QDialog {
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace oriel
