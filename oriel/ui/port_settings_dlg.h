#pragma once
// The device a COM number opens on this machine (settings "Ports/COMn"):
// a serial adapter's /dev/serial/by-id/... link, a /dev/tty... node, or the
// simulated handset's link.

#include <QDialog>
#include <cstdint>
#include <string>

class QLineEdit;

namespace platform {
class IPrompts;
}

namespace oriel {

class CPortSettingsDlg : public QDialog {
  public:
    CPortSettingsDlg(uint16_t nPort, const std::string& strPath, platform::IPrompts& prompts,
                     QWidget* parent = nullptr);

    // The accepted path, trimmed.
    std::string Path() const;
    QLineEdit* PathEdit() const { return m_pPath; }

    // Empty when the text is a usable device path, else what is wrong with it.
    static std::string CheckPath(const std::string& strPath);

  private:
    void OnOk();

    uint16_t m_nPort;
    platform::IPrompts& m_prompts;
    QLineEdit* m_pPath = nullptr;
};

}  // namespace oriel
