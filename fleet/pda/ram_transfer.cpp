#include "fleet/pda/ram_transfer.h"

#include <algorithm>

#include "fleet/images/image_file.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/slot_report.h"
#include "fleet/transport/slot_messages.h"

namespace fleet {

StepResult TransferToRam(CPdaCommands& commands, CSlotReporter& report, CImageFile& file,
                         int64_t nEnd, uint32_t nRamAddress) {
    int64_t pos = file.Position();
    if (pos < 0) {
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    const uint64_t total = std::max<uint64_t>(
        1, static_cast<uint64_t>(std::max<int64_t>(0, nEnd - pos)) / kPdaPayloadSize);
    uint8_t payload[kPdaPayloadSize];
    uint64_t packets = 0;
    uint32_t sent = 0;
    while (pos < nEnd) {
        const size_t want = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(kPdaPayloadSize), nEnd - pos));
        const size_t got = file.Read(payload, want);
        if (got == 0) {
            return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
        }
        if (commands.WriteRam(nRamAddress + sent, payload, got) != PdaSend::Sent) {
            return StepResult::Fail(kPdaWriteFailed, static_cast<uint32_t>(std::min<uint64_t>(
                                                         100, packets * 100 / total)));
        }
        pos += static_cast<int64_t>(got);
        sent += static_cast<uint32_t>(got);
        ++packets;
        report.PdaProgress(kPdaTransferProgress, static_cast<uint32_t>(packets * 100 / total));
    }
    return {};
}

}  // namespace fleet
