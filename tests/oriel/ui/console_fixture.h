#pragma once
// What the console suites share: a main dialog on a temporary INI file, with
// scripted prompts, and small helpers to read its controls.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "oriel/link/serial_port.h"
#include "oriel/ui/control_ids.h"
#include "oriel/ui/downloader_dlg.h"
#include "platform/qsettings_store.h"
#include "platform/scripted_prompts.h"
#include "platform/serial_port_list.h"

namespace consoletest {

// Runs fn on the dialog that opens modally next, once it is up.
inline void OnNextModal(std::function<void(QWidget*)> fn) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            fn(w);
        }
    });
    timer->start();
}

inline void ClickOk(QWidget* pDlg) {
    auto* box = pDlg->findChild<QDialogButtonBox*>();
    ASSERT_NE(box, nullptr);
    box->button(QDialogButtonBox::Ok)->click();
}

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        iniPath = Path("oriel_downloader.ini");
    }
    // The dialog goes first: it closes the port while its device still exists.
    void TearDown() override { dlg.reset(); }

    std::string Path(const std::string& name) const {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }

    platform::CQSettingsStore& Store() {
        if (!store) {
            store = std::make_unique<platform::CQSettingsStore>(iniPath);
        }
        return *store;
    }

    // A new dialog on the same settings, as the next run of the program. It
    // looks for serial ports in the test's own by-id folder (not there until
    // a test makes it), never at the machine's.
    oriel::CDownloaderDlg& Open() {
        dlg.reset();
        dlg = std::make_unique<oriel::CDownloaderDlg>(port, Store(), prompts);
        dlg->SetPortScan(PortScan());
        return *dlg;
    }
    platform::SerialPortScan PortScan() const {
        platform::SerialPortScan scan;
        scan.strByIdFolder = Path("by-id");
        scan.bUnlinked = false;
        return scan;
    }

    // What a fresh reader of the settings file sees.
    int StoredInt(const char* key, int nDefault) const {
        const platform::CQSettingsStore reader(iniPath);
        return reader.GetInt("Setting", key, nDefault);
    }
    std::string StoredString(const std::string& group, const std::string& key) const {
        const platform::CQSettingsStore reader(iniPath);
        return reader.GetString(group, key, "<none>");
    }

    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    std::string WriteFile(const std::string& name, size_t nSize) const {
        std::vector<uint8_t> bytes(nSize);
        for (size_t i = 0; i < nSize; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        return WriteFile(name, bytes);
    }

    QAbstractButton* Button(int nId) const { return dlg->ControlAs<QAbstractButton>(nId); }
    QComboBox* Combo(int nId) const { return dlg->ControlAs<QComboBox>(nId); }
    std::string Text(int nId) const { return dlg->ControlAs<QLineEdit>(nId)->text().toStdString(); }
    bool Enabled(int nId) const { return dlg->Control(nId)->isEnabled(); }
    // Shown when the dialog is: not hidden itself nor inside a hidden parent.
    bool Shown(int nId) const { return dlg->Control(nId)->isVisibleTo(dlg.get()); }
    void Click(int nId) const { Button(nId)->click(); }
    // The operator picks a file in the next file dialog.
    void Choose(int nBinButton, const std::string& path) {
        prompts.m_openAnswers.push_back(path);
        Click(nBinButton);
    }

    QTemporaryDir dir;
    std::string iniPath;
    std::unique_ptr<platform::CQSettingsStore> store;
    platform::CScriptedPrompts prompts;
    oriel::CSerialPort port;
    std::unique_ptr<oriel::CDownloaderDlg> dlg;
};

}  // namespace consoletest
