#include "oriel/ui/port_settings_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>

#include "oriel/link/port_names.h"
#include "platform/format.h"
#include "platform/prompts.h"
#include "platform/serial_port_list.h"

namespace oriel {

CPortSettingsDlg::CPortSettingsDlg(uint16_t nPort, const std::string& strPath,
                                   platform::IPrompts& prompts, QWidget* parent,
                                   const platform::SerialPortScan& scan)
    : QDialog(parent), m_nPort(nPort), m_prompts(prompts), m_watch(scan) {
    setWindowTitle(QString::fromStdString(platform::Format("COM%d Device", nPort)));
    auto* pGrid = new QGridLayout(this);
    pGrid->addWidget(new QLabel("Serial ports present:"), 0, 0, 1, 2);
    m_pPorts = new QTreeWidget;
    m_pPorts->setColumnCount(3);
    m_pPorts->setHeaderLabels({"Port", "Device", "Maker, model, serial"});
    m_pPorts->setRootIsDecorated(false);
    m_pPorts->setUniformRowHeights(true);
    m_pPorts->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_pPorts->setMinimumHeight(m_pPorts->fontMetrics().height() * 8);
    pGrid->addWidget(m_pPorts, 1, 0, 1, 2);
    pGrid->addWidget(
        new QLabel(QString::fromStdString(platform::Format("COM%d opens the device:", nPort))), 2,
        0, 1, 2);
    m_pPath = new QLineEdit(QString::fromStdString(strPath));
    m_pPath->setMinimumWidth(m_pPath->fontMetrics().horizontalAdvance(QString(44, 'x')));
    pGrid->addWidget(m_pPath, 3, 0);
    auto* pDefault = new QPushButton("Default");
    pDefault->setAutoDefault(false);
    pDefault->setToolTip(QString::fromStdString(DefaultPortPath(nPort)));
    pGrid->addWidget(pDefault, 3, 1);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    pGrid->addWidget(pButtons, 4, 0, 1, 2);
    FillPortList();
    m_watch.SetChangedAction([this] { FillPortList(); });
    // Picking a port fills in its path; a double click takes it.
    connect(m_pPorts, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* pItem) {
        if (pItem != nullptr) {
            m_pPath->setText(pItem->data(0, Qt::UserRole).toString());
        }
    });
    connect(m_pPorts, &QTreeWidget::itemActivated, this, [this] { OnOk(); });
    connect(pDefault, &QPushButton::clicked, this,
            [this] { m_pPath->setText(QString::fromStdString(DefaultPortPath(m_nPort))); });
    connect(pButtons, &QDialogButtonBox::accepted, this, [this] { OnOk(); });
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CPortSettingsDlg::FillPortList() {
    const QSignalBlocker block(m_pPorts);
    m_pPorts->clear();
    const std::string current = Path();
    const platform::SerialPortInfo* pCurrent = platform::FindPort(m_watch.Ports(), current);
    for (const platform::SerialPortInfo& port : m_watch.Ports()) {
        auto* pItem = new QTreeWidgetItem(
            m_pPorts, {QString::fromStdString(port.strName), QString::fromStdString(port.strDevice),
                       QString::fromStdString(port.Description())});
        pItem->setData(0, Qt::UserRole, QString::fromStdString(port.strPath));
        pItem->setToolTip(0, QString::fromStdString(port.strPath));
        if (&port == pCurrent) {
            m_pPorts->setCurrentItem(pItem);
        }
    }
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
