#include "fleet/ui/window_history.h"

#include "platform/qt_history_view.h"

namespace fleet {

void CWindowHistory::SetRecorder(history::CHistoryRecorder* pRecorder,
                                 const history::HistoryConfig& config) {
    m_config = config;
    m_bAvailable = !config.target.IsOff();
    m_slots.SetRecorder(pRecorder, config.strStation, history::kFrontEndWindow);
}

void CWindowHistory::Show(QWidget* pParent, platform::IPrompts& prompts) {
    if (!m_bAvailable) {
        return;
    }
    if (m_pView == nullptr) {
        m_pView =
            new platform::CHistoryView(history::kFleetHistory, m_config.target, prompts, pParent);
        m_pView->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_pView->show();
    m_pView->raise();
    m_pView->activateWindow();
}

platform::CHistoryView* CWindowHistory::View() const {
    return m_pView;
}

}  // namespace fleet
