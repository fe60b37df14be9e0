#include "platform/qt_prompts.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace platform {

std::string ToQtFilter(const std::string& filter) {
    std::string out;
    for (const auto& [name, pattern] : ParseFileFilter(filter)) {
        if (!out.empty()) {
            out += ";;";
        }
        out += name;
        if (name.find('(') == std::string::npos) {
            std::string qtPattern = pattern;
            for (char& c : qtPattern) {
                if (c == ';') {
                    c = ' ';
                }
            }
            out += " (" + qtPattern + ")";
        }
    }
    return out;
}

MsgAnswer CQtPrompts::ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                                     MsgDefault def) {
    QMessageBox box(m_pParent);
    box.setWindowTitle(QApplication::applicationDisplayName());
    box.setText(QString::fromStdString(text));
    switch (icon) {
        case MsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MsgIcon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case MsgIcon::Error:
            box.setIcon(QMessageBox::Critical);
            break;
        case MsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case MsgIcon::None:
            break;
    }
    QPushButton* first = nullptr;
    QPushButton* second = nullptr;
    switch (buttons) {
        case MsgButtons::YesNo:
            first = box.addButton(QMessageBox::Yes);
            second = box.addButton(QMessageBox::No);
            // Esc and the close box answer No.
            box.setEscapeButton(second);
            break;
        case MsgButtons::OkCancel:
            first = box.addButton(QMessageBox::Ok);
            second = box.addButton(QMessageBox::Cancel);
            box.setEscapeButton(second);
            break;
        case MsgButtons::Ok: {
            first = box.addButton(QMessageBox::Ok);
            // A lone OK would also be what Esc and the close box press; a hidden
            // escape button lets the caller tell a dismissal from an OK.
            QPushButton* dismiss = box.addButton(QMessageBox::Cancel);
            dismiss->hide();
            box.setEscapeButton(dismiss);
            break;
        }
    }
    box.setDefaultButton(def == MsgDefault::Second && second != nullptr ? second : first);
    box.exec();
    // An OK-only box closed with Esc or its close box reports no button.
    const QAbstractButton* clicked = box.clickedButton();
    if (clicked == first) {
        return buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
    }
    if (clicked == second && buttons == MsgButtons::YesNo) {
        return MsgAnswer::No;
    }
    return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Cancel;
}

std::string CQtPrompts::OpenFile(const FileDialogRequest& request) {
    QFileDialog dlg(m_pParent, QString(), QString::fromStdString(request.strStartPath),
                    QString::fromStdString(ToQtFilter(request.strFilter)));
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    if (!request.strDefaultExt.empty()) {
        dlg.setDefaultSuffix(QString::fromStdString(request.strDefaultExt).remove(0, 1));
    }
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) {
        return {};
    }
    return dlg.selectedFiles().front().toStdString();
}

std::string CQtPrompts::PickFolder(const std::string& strStartFolder) {
    return QFileDialog::getExistingDirectory(m_pParent, QString(),
                                             QString::fromStdString(strStartFolder))
        .toStdString();
}

std::string CQtPrompts::SaveFile(const FileDialogRequest& request) {
    QFileDialog dlg(m_pParent, QString(), QString::fromStdString(request.strStartPath),
                    QString::fromStdString(ToQtFilter(request.strFilter)));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    if (!request.bPromptOverwrite) {
        dlg.setOption(QFileDialog::DontConfirmOverwrite);
    }
    if (!request.strDefaultExt.empty()) {
        dlg.setDefaultSuffix(QString::fromStdString(request.strDefaultExt).remove(0, 1));
    }
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) {
        return {};
    }
    return dlg.selectedFiles().front().toStdString();
}

bool CQtPrompts::SelectSectors(const SectorChoiceRequest& request, std::vector<uint8_t>& flags) {
    if (m_fnSectorPicker) {
        return m_fnSectorPicker(m_pParent, request, flags);
    }
    // Plain check list; the program's own sector dialog replaces it when installed.
    QDialog dlg(m_pParent);
    auto* layout = new QVBoxLayout(&dlg);
    auto* list = new QListWidget(&dlg);
    for (size_t i = 0; i < request.lines.size(); ++i) {
        auto* item = new QListWidgetItem(QString::fromStdString(request.lines[i]), list);
        item->setCheckState(i < flags.size() && flags[i] ? Qt::Checked : Qt::Unchecked);
    }
    layout->addWidget(list);
    auto* buttons = new QDialogButtonBox(&dlg);
    buttons->addButton("START", QDialogButtonBox::AcceptRole);
    buttons->addButton("EXIT", QDialogButtonBox::RejectRole);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
    layout->addWidget(buttons);
    if (dlg.exec() != QDialog::Accepted) {
        return false;
    }
    for (int i = 0; i < list->count() && static_cast<size_t>(i) < flags.size(); ++i) {
        flags[static_cast<size_t>(i)] = list->item(i)->checkState() == Qt::Checked ? 1 : 0;
    }
    return true;
}

}  // namespace platform
