#include "oriel/engine/console_view.h"

namespace oriel {

void CRecordingConsole::AppendLog(const std::string& text) {
    m_strLog += text;
    if (m_pfnEcho != nullptr) {
        m_pfnEcho(text, m_pEchoCtx);
    }
}

void CRecordingConsole::ReplaceLog(const std::string& text) {
    m_strLog = text;
    if (m_pfnEcho != nullptr) {
        m_pfnEcho(text, m_pEchoCtx);
    }
}

void CRecordingConsole::SetProgressPos(int32_t nPos) {
    m_nProgressPos = nPos;
    ++m_nProgressUpdates;
}

}  // namespace oriel
