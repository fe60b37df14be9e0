#pragma once
// A slot given back after its handset ended: the window's "reset" and the
// command line's unplugged handset both come here.

namespace fleet {

class CDetection;
class CFleetSlots;
class CSlotBoard;

// Waits for the slot's worker, lets go of its ports, forgets its handset and
// modem port, and resets the board's slot (which only an ended slot takes).
void ResetEndedSlot(CFleetSlots& slots, CDetection& detection, CSlotBoard& board, int nSlot);

}  // namespace fleet
