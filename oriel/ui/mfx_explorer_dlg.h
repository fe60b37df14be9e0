#pragma once
// "MFX Explorer": the window in which the operator browses the handset's MFX
// file system, dumps or deletes files and dumps the whole NAND. It shows what
// the explorer's conversation (CMfxExplorer) reports and takes the receive
// wake-ups from the session while it is open, handing them back on every way
// out.

#include <QDialog>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "oriel/mfx/mfx_explorer.h"

class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPoint;
class QTreeWidget;
class QTreeWidgetItem;

namespace platform {
class IPrompts;
}

namespace oriel {

class CDownloaderSession;

class CMfxExplorerDlg : public QDialog, public IExplorerView {
  public:
    // A pop-up command (ID_FILE_DUMP, ID_FILE_DELETE, ID_FILE_STATUS) on a file.
    // nRow: the line of the file list, which is the explorer's file of that index.
    using CommandHandler = std::function<void(int nCommand, int nRow)>;

    explicit CMfxExplorerDlg(QWidget* parent = nullptr);
    // With the conversation behind it: the dialog drives the explorer.
    CMfxExplorerDlg(CDownloaderSession& session, platform::IPrompts& prompts,
                    QWidget* parent = nullptr);
    ~CMfxExplorerDlg() override;

    // Opening: take over the receive wake-ups, mount and list the root.
    void Start();
    CMfxExplorer* Explorer() { return m_pExplorer.get(); }
    int32_t MaxExtent() const { return m_nMaxExtent; }

    // IExplorerView
    void ExpLog(const std::string& text) override { AppendLog(text); }
    void ExpReplaceLog(const std::string& text) override { ReplaceLog(text); }
    void TreeItemAdded(int32_t nItem, int32_t nParent, const std::string& text) override;
    void TreeItemExpanded(int32_t nItem) override;
    void FileListCleared() override;
    void FileAdded(const std::string& name) override;
    void SetProgressRange(int32_t nMax) override;
    void SetProgressPos(int32_t nPos) override;
    void EnableControls(bool bEnable) override;
    void EnableTree(bool bEnable) override;
    void ExplorerClosed() override;

    void SetCommandHandler(CommandHandler handler) { m_fnCommand = std::move(handler); }

    void AppendLog(const std::string& text);
    void ReplaceLog(const std::string& text);

    // The file list's pop-up for the selected line: "< name >" (disabled), a
    // separator, then the commands. Null when no line is selected.
    std::unique_ptr<QMenu> FileMenu();

    QWidget* Control(int nId) const;
    template <class T>
    T* ControlAs(int nId) const {
        return qobject_cast<T*>(Control(nId));
    }

  protected:
    // Escape: unmount and close at once; the wake-ups go back to the console.
    void reject() override;

  private:
    void Build();
    void OnFileContextMenu(const QPoint& pos);
    void OnExit();
    void OnPortGone();
    void GiveBack();

    std::map<int, QWidget*> m_controls;
    QTreeWidget* m_pTree = nullptr;
    QPlainTextEdit* m_pLog = nullptr;
    QListWidget* m_pFiles = nullptr;
    CommandHandler m_fnCommand;

    CDownloaderSession* m_pSession = nullptr;
    std::unique_ptr<CMfxExplorer> m_pExplorer;
    std::map<int32_t, QTreeWidgetItem*> m_items;
    int32_t m_nMaxExtent = 0;
    bool m_bClosing = false;
};

}  // namespace oriel
