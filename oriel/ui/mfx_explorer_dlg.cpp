#include "oriel/ui/mfx_explorer_dlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "oriel/ui/console_text.h"
#include "oriel/ui/control_ids.h"
#include "platform/format.h"

namespace oriel {

CMfxExplorerDlg::CMfxExplorerDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("MFX Explorer");

    m_pTree = new QTreeWidget;
    m_pTree->setHeaderHidden(true);
    m_pTree->setRootIsDecorated(true);
    m_pTree->addTopLevelItem(new QTreeWidgetItem(QStringList{"/"}));
    m_controls[IDC_EXPLORER_TREE] = m_pTree;

    m_pLog = new QPlainTextEdit;
    m_pLog->setReadOnly(true);
    m_pLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_controls[IDC_EXPLORER_LOG] = m_pLog;

    m_pFiles = new QListWidget;
    m_pFiles->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pFiles->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    m_controls[IDC_EXPLORER_FILES] = m_pFiles;
    connect(m_pFiles, &QListWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { OnFileContextMenu(pos); });

    auto* pProgress = new QProgressBar;
    pProgress->setRange(0, 100);
    pProgress->setValue(0);
    m_controls[IDC_EXPLORER_PROGRESS] = pProgress;

    auto* pNandDump = new QPushButton("NAND FULL Dump");
    pNandDump->setAutoDefault(false);
    m_controls[IDC_EXPLORER_NAND_DUMP] = pNandDump;
    auto* pExit = new QPushButton("EXIT");
    pExit->setDefault(true);
    m_controls[IDC_EXPLORER_EXIT] = pExit;
    auto* pCancel = new QPushButton("Cancel", this);
    pCancel->setEnabled(false);
    pCancel->hide();
    m_controls[IDC_EXPLORER_CANCEL] = pCancel;
    connect(pExit, &QPushButton::clicked, this, &QDialog::accept);

    auto* pGrid = new QGridLayout(this);
    pGrid->addWidget(m_pTree, 0, 0, 2, 1);
    pGrid->addWidget(new QLabel("Files  (select a file and click a right button)"), 0, 1);
    pGrid->addWidget(m_pFiles, 1, 1);
    pGrid->addWidget(m_pLog, 2, 0, 1, 2);
    pGrid->addWidget(pProgress, 3, 0, 1, 2);
    auto* pButtons = new QHBoxLayout;
    pButtons->addWidget(pNandDump);
    pButtons->addStretch(1);
    pButtons->addWidget(pExit);
    pGrid->addLayout(pButtons, 4, 0, 1, 2);
    pGrid->setColumnStretch(0, 2);
    pGrid->setColumnStretch(1, 3);
    pGrid->setRowStretch(1, 3);
    pGrid->setRowStretch(2, 2);
    resize(620, 480);
}

QWidget* CMfxExplorerDlg::Control(int nId) const {
    const auto it = m_controls.find(nId);
    return it == m_controls.end() ? nullptr : it->second;
}

void CMfxExplorerDlg::AppendLog(const std::string& text) {
    QTextCursor cursor = m_pLog->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromStdString(ToWidgetLineEnds(text)));
    m_pLog->setTextCursor(cursor);
    m_pLog->ensureCursorVisible();
}

void CMfxExplorerDlg::ReplaceLog(const std::string& text) {
    m_pLog->setPlainText(QString::fromStdString(ToWidgetLineEnds(text)));
}

std::unique_ptr<QMenu> CMfxExplorerDlg::FileMenu() {
    QListWidgetItem* pItem = m_pFiles->currentItem();
    if (pItem == nullptr || !pItem->isSelected()) {
        return nullptr;
    }
    const std::string name = pItem->text().toStdString();
    auto menu = std::make_unique<QMenu>(this);
    QAction* pTitle =
        menu->addAction(QString::fromStdString(platform::Format("< %s >", name.c_str())));
    pTitle->setEnabled(false);
    menu->addSeparator();
    const std::pair<int, const char*> commands[] = {
        {ID_FILE_DUMP, "Dump..."}, {ID_FILE_DELETE, "Delete"}, {ID_FILE_STATUS, "Status"}};
    for (const auto& [nCommand, pszText] : commands) {
        QAction* pAction = menu->addAction(pszText);
        pAction->setData(nCommand);
        connect(pAction, &QAction::triggered, this, [this, nCommand, name] {
            if (m_fnCommand) {
                m_fnCommand(nCommand, name);
            }
        });
    }
    return menu;
}

void CMfxExplorerDlg::OnFileContextMenu(const QPoint& pos) {
    std::unique_ptr<QMenu> menu = FileMenu();
    if (menu) {
        menu->exec(m_pFiles->viewport()->mapToGlobal(pos));
    }
}

}  // namespace oriel
