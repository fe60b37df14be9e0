#include "fleet/pda/flash_acks.h"

#include <algorithm>

#include "fleet/pda/pda_commands.h"
#include "fleet/pda/slot_report.h"
#include "fleet/transport/slot_messages.h"

namespace fleet {

uint32_t RawImageBlockCount(uint32_t nDataEnd, uint32_t nAckBlock) {
    if (nAckBlock == 0) {
        return 0;
    }
    const int64_t blocks = static_cast<int64_t>(nDataEnd / nAckBlock) - kRawBlockAllowance;
    return static_cast<uint32_t>(std::max<int64_t>(0, blocks));
}

StepResult AwaitRawImageAcks(CPdaCommands& commands, CSlotReporter& report, uint32_t nBlocks) {
    const uint32_t acks = nBlocks / kRawBlocksPerAck;
    for (uint32_t k = 1; k <= acks; ++k) {
        if (!commands.ReadFlashAck()) {
            const uint64_t reached = uint64_t{k - 1} * kRawBlocksPerAck * 100 / nBlocks;
            return StepResult::Fail(kPdaWriteFailed, static_cast<uint32_t>(reached));
        }
        const uint64_t done = uint64_t{k} * kRawBlocksPerAck * 100 / nBlocks;
        report.PdaProgress(kPdaProgramProgress, static_cast<uint32_t>(done));
    }
    report.Pda(kPdaProgramDone, 100);
    return {};
}

StepResult AwaitPieceAcks(CPdaCommands& commands, CSlotReporter& report, uint32_t nPiece,
                          uint32_t nAckBlock) {
    const uint32_t n = nAckBlock != 0 ? nPiece / nAckBlock : 0;
    for (uint32_t j = 0; j < n; ++j) {
        const uint32_t percent = static_cast<uint32_t>(uint64_t{j} * 100 / n);
        if (!commands.ReadFlashAck()) {
            return StepResult::Fail(kPdaWriteFailed, percent);
        }
        if (j == 0) {
            report.Pda(kPdaWritingStart);
        }
        report.PdaProgress(kPdaProgramProgress, percent);
    }
    report.Pda(kPdaProgramDone, 100);
    return {};
}

}  // namespace fleet
