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

#include "oriel/mfx/code_page.h"
#include "oriel/ui/console_text.h"
#include "oriel/ui/control_ids.h"
#include "oriel/ui/downloader_session.h"
#include "platform/format.h"

namespace oriel {

namespace {

// Names and log texts come in the PC's code page.
QString Shown(const std::string& ansi) {
    return QString::fromStdString(AnsiToDisplay(ansi));
}

}  // namespace

CMfxExplorerDlg::CMfxExplorerDlg(QWidget* parent) : QDialog(parent) {
    Build();
}

CMfxExplorerDlg::CMfxExplorerDlg(CDownloaderSession& session, platform::IPrompts& prompts,
                                 QWidget* parent)
    : QDialog(parent), m_pSession(&session) {
    Build();
    m_pExplorer = std::make_unique<CMfxExplorer>(session.Port(), prompts, *this);
    m_pExplorer->SetTransferObserver(&session.Journal());
    m_fnCommand = [this](int nCommand, int nRow) {
        if (nRow < 0) {
            return;
        }
        const auto nIndex = static_cast<size_t>(nRow);
        if (nCommand == ID_FILE_DUMP) {
            m_pExplorer->DumpFile(nIndex);
        } else if (nCommand == ID_FILE_DELETE) {
            m_pExplorer->DeleteFile(nIndex);
        } else if (nCommand == ID_FILE_STATUS) {
            m_pExplorer->ShowStatus(nIndex);
        }
    };
    connect(m_pTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* pItem, QTreeWidgetItem*) {
                if (pItem != nullptr && !m_bClosing) {
                    m_pExplorer->ListDirectory(pItem->data(0, Qt::UserRole).toInt());
                }
            });
    connect(ControlAs<QPushButton>(IDC_EXPLORER_NAND_DUMP), &QPushButton::clicked, this,
            [this] { m_pExplorer->DumpWholeNand(); });
}

CMfxExplorerDlg::~CMfxExplorerDlg() {
    GiveBack();
}

void CMfxExplorerDlg::GiveBack() {
    if (m_pSession != nullptr) {
        m_pSession->GiveBackReceive();
    }
}

void CMfxExplorerDlg::Start() {
    if (!m_pExplorer) {
        return;
    }
    m_pSession->TakeOverReceive([this] { m_pExplorer->OnExplorerRx(); }, [this] { OnPortGone(); });
    m_pTree->clear();
    m_items.clear();
    m_pExplorer->Open();
}

void CMfxExplorerDlg::TreeItemAdded(int32_t nItem, int32_t nParent, const std::string& text) {
    auto* pItem = new QTreeWidgetItem(QStringList{Shown(text)});
    pItem->setData(0, Qt::UserRole, nItem);
    const auto parent = m_items.find(nParent);
    if (parent == m_items.end()) {
        m_pTree->addTopLevelItem(pItem);
    } else {
        parent->second->addChild(pItem);
    }
    m_items[nItem] = pItem;
}

void CMfxExplorerDlg::TreeItemExpanded(int32_t nItem) {
    const auto it = m_items.find(nItem);
    if (it != m_items.end()) {
        it->second->setExpanded(true);
    }
}

void CMfxExplorerDlg::FileListCleared() {
    m_pFiles->clear();
    m_nMaxExtent = 0;
    m_pFiles->horizontalScrollBar()->setRange(0, 0);
}

void CMfxExplorerDlg::FileAdded(const std::string& name) {
    const QString text = Shown(name);
    m_pFiles->addItem(text);
    // Widen the scroll extent to the widest name so far.
    m_nMaxExtent = std::max(m_nMaxExtent, m_pFiles->fontMetrics().horizontalAdvance(text));
}

void CMfxExplorerDlg::SetProgressRange(int32_t nMax) {
    ControlAs<QProgressBar>(IDC_EXPLORER_PROGRESS)->setRange(0, nMax);
}

void CMfxExplorerDlg::SetProgressPos(int32_t nPos) {
    ControlAs<QProgressBar>(IDC_EXPLORER_PROGRESS)->setValue(nPos);
}

void CMfxExplorerDlg::EnableControls(bool bEnable) {
    m_pTree->setEnabled(bEnable);
    m_pFiles->setEnabled(bEnable);
    Control(IDC_EXPLORER_NAND_DUMP)->setEnabled(bEnable);
}

void CMfxExplorerDlg::EnableTree(bool bEnable) {
    m_pTree->setEnabled(bEnable);
}

void CMfxExplorerDlg::ExplorerClosed() {
    GiveBack();
    QDialog::accept();
}

void CMfxExplorerDlg::OnExit() {
    if (!m_pExplorer) {
        QDialog::accept();
        return;
    }
    if (m_bClosing) {
        // The handset did not answer the unmount: close anyway.
        ExplorerClosed();
        return;
    }
    m_bClosing = true;
    m_pExplorer->CloseExplorer();
}

void CMfxExplorerDlg::OnPortGone() {
    // Nothing to unmount on a port that is gone; the main window says why.
    m_pExplorer->AbandonTransfer("the handset's port went away");
    m_bClosing = true;
    GiveBack();
    QDialog::reject();
}

void CMfxExplorerDlg::reject() {
    if (m_pExplorer && !m_bClosing) {
        m_bClosing = true;
        m_pExplorer->CloseExplorer();
    }
    GiveBack();
    QDialog::reject();
}

void CMfxExplorerDlg::Build() {
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
    connect(pExit, &QPushButton::clicked, this, [this] { OnExit(); });

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
    cursor.insertText(Shown(ToWidgetLineEnds(text)));
    m_pLog->setTextCursor(cursor);
    m_pLog->ensureCursorVisible();
}

void CMfxExplorerDlg::ReplaceLog(const std::string& text) {
    m_pLog->setPlainText(Shown(ToWidgetLineEnds(text)));
}

std::unique_ptr<QMenu> CMfxExplorerDlg::FileMenu() {
    QListWidgetItem* pItem = m_pFiles->currentItem();
    if (pItem == nullptr || !pItem->isSelected()) {
        return nullptr;
    }
    const int nRow = m_pFiles->row(pItem);
    auto menu = std::make_unique<QMenu>(this);
    QAction* pTitle = menu->addAction("< " + pItem->text() + " >");
    pTitle->setEnabled(false);
    menu->addSeparator();
    const std::pair<int, const char*> commands[] = {
        {ID_FILE_DUMP, "Dump..."}, {ID_FILE_DELETE, "Delete"}, {ID_FILE_STATUS, "Status"}};
    for (const auto& [nCommand, pszText] : commands) {
        QAction* pAction = menu->addAction(pszText);
        pAction->setData(nCommand);
        connect(pAction, &QAction::triggered, this, [this, nCommand, nRow] {
            if (m_fnCommand) {
                m_fnCommand(nCommand, nRow);
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
