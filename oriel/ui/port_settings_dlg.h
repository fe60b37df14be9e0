#pragma once
// The device a COM number opens on this machine (settings "Ports/COMn"):
// one of the serial ports present, listed with their maker, model and
// serial and kept up to date as ports come and go, or any path typed in (a
// /dev/tty... node, the simulated handset's link).

#include <QDialog>
#include <cstdint>
#include <string>

#include "platform/qt_port_watch.h"

class QLineEdit;
class QTreeWidget;

namespace platform {
class IPrompts;
}

namespace oriel {

class CPortSettingsDlg : public QDialog {
  public:
    CPortSettingsDlg(uint16_t nPort, const std::string& strPath, platform::IPrompts& prompts,
                     QWidget* parent = nullptr, const platform::SerialPortScan& scan = {});

    // The accepted path, trimmed.
    std::string Path() const;
    QLineEdit* PathEdit() const { return m_pPath; }
    // The ports present: name, device node, maker/model/serial; the path in
    // the first column's Qt::UserRole.
    QTreeWidget* PortList() const { return m_pPorts; }
    platform::CQtPortWatch& PortWatch() { return m_watch; }

    // Empty when the text is a usable device path, else what is wrong with it.
    static std::string CheckPath(const std::string& strPath);

  private:
    void OnOk();
    void FillPortList();

    uint16_t m_nPort;
    platform::IPrompts& m_prompts;
    platform::CQtPortWatch m_watch;
    QLineEdit* m_pPath = nullptr;
    QTreeWidget* m_pPorts = nullptr;
};

}  // namespace oriel
