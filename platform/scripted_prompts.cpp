#include "platform/scripted_prompts.h"

namespace platform {

std::vector<std::pair<std::string, std::string>> ParseFileFilter(const std::string& filter) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : filter) {
        if (c == '|') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) {
        parts.push_back(cur);
    }
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (!parts[i].empty()) {
            out.emplace_back(parts[i], parts[i + 1]);
        }
    }
    return out;
}

MsgAnswer CScriptedPrompts::ShowMessageBox(const std::string& text, MsgButtons buttons,
                                           MsgIcon icon, MsgDefault def) {
    m_messages.push_back({text, buttons, icon, def});
    if (m_fnOnMessage) {
        m_fnOnMessage(m_messages.back());
    }
    std::deque<MsgAnswer>& answers = buttons == MsgButtons::YesNo ? m_yesNoAnswers : m_okAnswers;
    if (answers.empty()) {
        return buttons == MsgButtons::YesNo ? m_defaultYesNo : MsgAnswer::Ok;
    }
    const MsgAnswer a = answers.front();
    answers.pop_front();
    return a;
}

namespace {

// The next scripted answer; empty (cancelled) when the script has run out.
std::string TakeAnswer(std::deque<std::string>& answers) {
    if (answers.empty()) {
        return {};
    }
    std::string a = std::move(answers.front());
    answers.pop_front();
    return a;
}

}  // namespace

std::string CScriptedPrompts::OpenFile(const FileDialogRequest& request) {
    m_openRequests.push_back(request);
    return TakeAnswer(m_openAnswers);
}

std::string CScriptedPrompts::SaveFile(const FileDialogRequest& request) {
    m_saveRequests.push_back(request);
    return TakeAnswer(m_saveAnswers);
}

std::string CScriptedPrompts::PickFolder(const std::string& strStartFolder) {
    m_folderRequests.push_back(strStartFolder);
    return TakeAnswer(m_folderAnswers);
}

bool CScriptedPrompts::SelectSectors(const SectorChoiceRequest& request,
                                     std::vector<uint8_t>& flags) {
    m_sectorRequests.push_back(request);
    if (m_sectorAnswers.empty()) {
        return false;
    }
    const std::vector<int> ticks = m_sectorAnswers.front();
    m_sectorAnswers.pop_front();
    if (ticks.empty()) {
        return false;
    }
    for (int i : ticks) {
        if (i >= 0 && static_cast<size_t>(i) < flags.size()) {
            flags[static_cast<size_t>(i)] = 1;
        }
    }
    return true;
}

std::vector<std::string> CScriptedPrompts::MessageTexts() const {
    std::vector<std::string> out;
    for (const auto& m : m_messages) {
        out.push_back(m.text);
    }
    return out;
}

}  // namespace platform
