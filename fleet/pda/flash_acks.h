#pragma once
// The device programs its flash from RAM and acknowledges each
// acknowledgement block with O K U P; anything else, or silence, fails the
// programming with the percentage reached.

#include <cstdint>

#include "fleet/pda/step_result.h"

namespace fleet {

class CPdaCommands;
class CSlotReporter;

// Raw container images are programmed in blocks of the acknowledgement block
// size; the device answers after every 256th.
constexpr uint32_t kRawBlocksPerAck = 256;
// The block count of a raw container image is the data end position (from
// the start of the program file, as command 12 carries it) in blocks, less
// this many.
constexpr int64_t kRawBlockAllowance = 1500;

// Blocks programmed for a raw container image whose data ends at nDataEnd.
uint32_t RawImageBlockCount(uint32_t nDataEnd, uint32_t nAckBlock);

// Container worker, raw image: one acknowledgement after every 256th of
// nBlocks blocks, 215 after each, 216 at the end; 217 with the percentage
// reached on a wrong or missing one.
StepResult AwaitRawImageAcks(CPdaCommands& commands, CSlotReporter& report, uint32_t nBlocks);

// Files worker, one region piece: nPiece / nAckBlock acknowledgements, one
// per block; the first also posts 204. 215 with j x 100 / n before block j
// counts, 216 at the end; 217 with j x 100 / n when block j is not
// acknowledged.
StepResult AwaitPieceAcks(CPdaCommands& commands, CSlotReporter& report, uint32_t nPiece,
                          uint32_t nAckBlock);

}  // namespace fleet
