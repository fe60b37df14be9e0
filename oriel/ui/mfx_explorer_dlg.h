#pragma once
// "MFX Explorer": the window in which the operator browses the handset's MFX
// file system, dumps or deletes files and dumps the whole NAND. This is its
// layout and its file-list pop-up; the conversation behind it belongs to the
// MFX operations, which plug in through the handlers.

#include <QDialog>
#include <functional>
#include <map>
#include <memory>
#include <string>

class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPoint;
class QTreeWidget;

namespace oriel {

class CMfxExplorerDlg : public QDialog {
  public:
    // A pop-up command (ID_FILE_DUMP, ID_FILE_DELETE, ID_FILE_STATUS) on a file.
    using CommandHandler = std::function<void(int nCommand, const std::string& strFile)>;

    explicit CMfxExplorerDlg(QWidget* parent = nullptr);

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

  private:
    void OnFileContextMenu(const QPoint& pos);

    std::map<int, QWidget*> m_controls;
    QTreeWidget* m_pTree = nullptr;
    QPlainTextEdit* m_pLog = nullptr;
    QListWidget* m_pFiles = nullptr;
    CommandHandler m_fnCommand;
};

}  // namespace oriel
