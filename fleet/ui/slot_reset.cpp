#include "fleet/ui/slot_reset.h"

#include "fleet/transport/slot_launch.h"
#include "fleet/ui/detection.h"
#include "fleet/ui/slot_board.h"

namespace fleet {

void ResetEndedSlot(CFleetSlots& slots, CDetection& detection, CSlotBoard& board, int nSlot) {
    if (nSlot < 0 || nSlot >= kBoardSlots) {
        return;
    }
    const size_t s = static_cast<size_t>(nSlot);
    slots.JoinWorker(nSlot);
    slots.pdaPorts[s].Close();
    slots.phonePorts[s].Close();
    slots.states[s] = kSlotEmpty;
    slots.deviceNames[s].clear();
    slots.phoneComNumbers[s] = 0;
    detection.ClearSlot(nSlot);
    board.ResetSlot(nSlot);
}

}  // namespace fleet
