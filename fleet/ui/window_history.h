#pragma once
// The flash history as the fleet window has it: the record of each slot job
// and the "History..." window, in one piece the window holds.

#include <QPointer>
#include <string>

#include "fleet/ui/slot_history.h"
#include "platform/history/history_config.h"

class QWidget;

namespace platform {
class CHistoryView;
class IPrompts;
}  // namespace platform

namespace fleet {

class CWindowHistory {
  public:
    // Where the jobs are recorded; nullptr (or the history off): nowhere.
    void SetRecorder(history::CHistoryRecorder* pRecorder, const history::HistoryConfig& config);
    bool Available() const { return m_bAvailable; }
    CSlotHistory& Slots() { return m_slots; }
    // The history window (one; raised when already open).
    void Show(QWidget* pParent, platform::IPrompts& prompts);
    platform::CHistoryView* View() const;

  private:
    CSlotHistory m_slots;
    history::HistoryConfig m_config;
    bool m_bAvailable = false;
    QPointer<platform::CHistoryView> m_pView;
};

}  // namespace fleet
