#pragma once
// The flash history of the fleet: one record per slot job, from the start of
// its worker to the end of the slot, with the slot, the handset, the images
// the job read (from the program's own container, the chosen files or the
// combined image), how it ended and the slot's log. The window and fleet_cli
// tell it where a job starts and ends; the record goes to the history's
// writer thread (hashing included), so a slot never waits for it.

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "fleet/images/container.h"
#include "fleet/ui/slot_board.h"
#include "platform/history/job_record.h"

namespace history {
class CHistoryRecorder;
}

namespace fleet {

class CFleetSlots;
class CImageSelection;

class CSlotHistory {
  public:
    // pRecorder nullptr: nothing is recorded.
    void SetRecorder(history::CHistoryRecorder* pRecorder, std::string strStation,
                     std::string strFrontEnd);
    // The slot's worker has started: the time, the handset's port and its
    // USB serial (looked up now: the PDA interface goes away mid-job).
    void SlotStarted(int nSlot, const CFleetSlots& slots);
    // The slot has ended (finished or failed) on view.nEndCode.
    void SlotEnded(int nSlot, const SlotView& view, const CFleetSlots& slots,
                   const CImageSelection& selection);

  private:
    struct Started {
        bool bValid = false;
        int64_t nStartMs = 0;
        std::string strPort;
        std::string strUsbSerial;
    };
    const ContainerTrailer* TrailerOf(const std::string& strProgramPath);

    history::CHistoryRecorder* m_pRecorder = nullptr;
    std::string m_strStation;
    std::string m_strFrontEnd;
    std::array<Started, kBoardSlots> m_started{};
    std::map<std::string, ContainerTrailer> m_trailers;
};

}  // namespace fleet
