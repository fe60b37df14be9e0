#pragma once
// Operator prompts as Qt modal dialogs.

#include <functional>

#include "platform/prompts.h"

class QWidget;

namespace platform {

class CQtPrompts : public IPrompts {
  public:
    // Builds the sector chooser; a program installs its own dialog here.
    using SectorPicker = std::function<bool(QWidget* parent, const SectorChoiceRequest& request,
                                            std::vector<uint8_t>& flags)>;

    explicit CQtPrompts(QWidget* parent = nullptr) : m_pParent(parent) {}
    void SetParent(QWidget* parent) { m_pParent = parent; }
    void SetSectorPicker(SectorPicker picker) { m_fnSectorPicker = std::move(picker); }

    std::string OpenFile(const FileDialogRequest& request) override;
    std::string SaveFile(const FileDialogRequest& request) override;
    std::string PickFolder(const std::string& strStartFolder) override;
    bool SelectSectors(const SectorChoiceRequest& request, std::vector<uint8_t>& flags) override;

  private:
    QWidget* m_pParent;
    SectorPicker m_fnSectorPicker;

  protected:
    MsgAnswer ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                             MsgDefault def) override;
};

// "bin file (*.bin)|*.bin|all files (*.*)|*.*||" -> "bin file (*.bin);;all files (*.*)"
std::string ToQtFilter(const std::string& filter);

}  // namespace platform
