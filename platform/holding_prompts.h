#pragma once
// Prompts that hold receive wake-ups while one of them is open. A modal prompt
// runs a nested event loop; a wake-up delivered there would run a protocol
// handler in the middle of the handler that asked (a second save dialog, a
// reply collected twice). The dispatcher asks HoldWakeUp() first; a held
// wake-up is posted again, once, when the last open prompt has returned, so
// the bytes, still in the ring, are handled in order after the asking handler
// has finished.

#include <functional>

#include "platform/prompts.h"

namespace platform {

class CHoldingPrompts : public IPrompts {
  public:
    explicit CHoldingPrompts(IPrompts& inner) : m_inner(inner) {}

    // Posts the held wake-up again (to the same queue the wake-ups come through).
    void SetRelease(std::function<void()> fnRelease) { m_fnRelease = std::move(fnRelease); }
    // For the dispatcher: true when a prompt is open; the wake-up is then held.
    bool HoldWakeUp();
    bool IsOpen() const { return m_nOpen > 0; }

    std::string OpenFile(const FileDialogRequest& request) override;
    std::string SaveFile(const FileDialogRequest& request) override;
    std::string PickFolder(const std::string& strStartFolder) override;
    bool SelectSectors(const SectorChoiceRequest& request, std::vector<uint8_t>& flags) override;

  private:
    class COpen;

    IPrompts& m_inner;
    std::function<void()> m_fnRelease;
    int m_nOpen = 0;
    bool m_bHeld = false;

  protected:
    MsgAnswer ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                             MsgDefault def) override;
};

}  // namespace platform
