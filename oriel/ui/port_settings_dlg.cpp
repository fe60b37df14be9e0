#include "oriel/ui/port_settings_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "oriel/link/port_names.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace oriel {

CPortSettingsDlg::CPortSettingsDlg(uint16_t nPort, const std::string& strPath,
                                   platform::IPrompts& prompts, QWidget* parent)
    : QDialog(parent), m_nPort(nPort), m_prompts(prompts) {
    setWindowTitle(QString::fromStdString(platform::Format("COM%d Device", nPort)));
    auto* pGrid = new QGridLayout(this);
    pGrid->addWidget(
        new QLabel(QString::fromStdString(platform::Format("COM%d opens the device:", nPort))), 0,
        0, 1, 2);
    m_pPath = new QLineEdit(QString::fromStdString(strPath));
    m_pPath->setMinimumWidth(m_pPath->fontMetrics().horizontalAdvance(QString(44, 'x')));
    pGrid->addWidget(m_pPath, 1, 0);
    auto* pDefault = new QPushButton("Default");
    pDefault->setAutoDefault(false);
    pDefault->setToolTip(QString::fromStdString(DefaultPortPath(nPort)));
    pGrid->addWidget(pDefault, 1, 1);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    pGrid->addWidget(pButtons, 2, 0, 1, 2);
    connect(pDefault, &QPushButton::clicked, this,
            [this] { m_pPath->setText(QString::fromStdString(DefaultPortPath(m_nPort))); });
    connect(pButtons, &QDialogButtonBox::accepted, this, [this] { OnOk(); });
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

std::string CPortSettingsDlg::Path() const {
    return m_pPath->text().trimmed().toStdString();
}

std::string CPortSettingsDlg::CheckPath(const std::string& strPath) {
    if (strPath.empty()) {
        return "Enter the device path, for example /dev/ttyUSB0.";
    }
    if (strPath.front() != '/') {
        return "The device path must start with '/', for example /dev/ttyUSB0.";
    }
    for (unsigned char c : strPath) {
        if (c < 0x20 || c == 0x7F) {
            return "The device path must not hold control characters.";
        }
    }
    return {};
}

void CPortSettingsDlg::OnOk() {
    const std::string problem = CheckPath(Path());
    if (!problem.empty()) {
        m_prompts.MessageBox(problem, platform::MsgButtons::Ok, platform::MsgIcon::Warning);
        return;
    }
    accept();
}

}  // namespace oriel
