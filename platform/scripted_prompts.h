#pragma once
// Prompts answered from a script and recorded, for tests and unattended runs.

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/prompts.h"

namespace platform {

class CScriptedPrompts : public IPrompts {
  public:
    struct Shown {
        std::string text;
        MsgButtons buttons;
        MsgIcon icon;
        MsgDefault def;
    };

    std::string OpenFile(const FileDialogRequest& request) override;
    std::string SaveFile(const FileDialogRequest& request) override;
    std::string PickFolder(const std::string& strStartFolder) override;
    bool SelectSectors(const SectorChoiceRequest& request, std::vector<uint8_t>& flags) override;

    // Answers, taken in order. When a queue is empty: Yes/No boxes answer
    // m_defaultYesNo, OK and OK/CANCEL boxes Ok, file dialogs are cancelled,
    // sector choices are declined.
    std::deque<MsgAnswer> m_yesNoAnswers;
    MsgAnswer m_defaultYesNo = MsgAnswer::Yes;
    std::deque<MsgAnswer> m_okAnswers;  // OK and OK/CANCEL boxes: Ok or Cancel
    std::deque<std::string> m_openAnswers;
    std::deque<std::string> m_saveAnswers;
    std::deque<std::string> m_folderAnswers;
    std::deque<std::vector<int>> m_sectorAnswers;  // indices to tick; empty vector = declined

    // Called for each message box after it is recorded (e.g. to echo it).
    std::function<void(const Shown&)> m_fnOnMessage;

    std::vector<Shown> m_messages;
    std::vector<FileDialogRequest> m_openRequests;
    std::vector<FileDialogRequest> m_saveRequests;
    std::vector<std::string> m_folderRequests;  // the start folders
    std::vector<SectorChoiceRequest> m_sectorRequests;

    std::vector<std::string> MessageTexts() const;

  protected:
    MsgAnswer ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                             MsgDefault def) override;
};

}  // namespace platform
