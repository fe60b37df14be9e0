#pragma once
// Transfer to RAM: a stretch of an image file sent as PDA_WRITE_RAM packets
// of up to 1008 bytes, each addressed at the start address plus the bytes
// already sent and carrying its byte sum. The device does not answer them.

#include <cstdint>

#include "fleet/pda/step_result.h"

namespace fleet {

class CImageFile;
class CPdaCommands;
class CSlotReporter;

// Sends [the file's position, nEnd) to nRamAddress, posting 209 with the
// percentage. The last packet carries what is left before nEnd, never bytes
// past it. 208 (detail 1) when the file gives no bytes before nEnd; 217 with
// the percentage reached when a packet cannot be written whole.
StepResult TransferToRam(CPdaCommands& commands, CSlotReporter& report, CImageFile& file,
                         int64_t nEnd, uint32_t nRamAddress);

}  // namespace fleet
