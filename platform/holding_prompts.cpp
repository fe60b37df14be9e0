#include "platform/holding_prompts.h"

namespace platform {

// One open prompt; the last one to close releases what was held.
class CHoldingPrompts::COpen {
  public:
    explicit COpen(CHoldingPrompts& owner) : m_owner(owner) { ++m_owner.m_nOpen; }
    ~COpen() {
        if (--m_owner.m_nOpen == 0 && m_owner.m_bHeld) {
            m_owner.m_bHeld = false;
            if (m_owner.m_fnRelease) {
                m_owner.m_fnRelease();
            }
        }
    }
    COpen(const COpen&) = delete;
    COpen& operator=(const COpen&) = delete;

  private:
    CHoldingPrompts& m_owner;
};

bool CHoldingPrompts::HoldWakeUp() {
    if (m_nOpen == 0) {
        return false;
    }
    m_bHeld = true;
    return true;
}

MsgAnswer CHoldingPrompts::ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                                          MsgDefault def) {
    COpen open(*this);
    return m_inner.MessageBox(text, buttons, icon, def);
}

std::string CHoldingPrompts::OpenFile(const FileDialogRequest& request) {
    COpen open(*this);
    return m_inner.OpenFile(request);
}

std::string CHoldingPrompts::SaveFile(const FileDialogRequest& request) {
    COpen open(*this);
    return m_inner.SaveFile(request);
}

std::string CHoldingPrompts::PickFolder(const std::string& strStartFolder) {
    COpen open(*this);
    return m_inner.PickFolder(strStartFolder);
}

bool CHoldingPrompts::SelectSectors(const SectorChoiceRequest& request,
                                    std::vector<uint8_t>& flags) {
    COpen open(*this);
    return m_inner.SelectSectors(request, flags);
}

}  // namespace platform
