#include "fleet/pda/b000ff_stream.h"

#include <algorithm>
#include <memory>
#include <new>

#include "fleet/images/image_file.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/pda_packet.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/transport/slot_messages.h"
#include "platform/diag_log.h"

namespace fleet {

namespace {

constexpr uint32_t kMiddlePartCodes[] = {317, 318, 319, 320};

uint32_t Percent(uint64_t nSent, uint64_t nLength) {
    return static_cast<uint32_t>(static_cast<double>(nSent) * 100.0 / static_cast<double>(nLength));
}

}  // namespace

std::vector<B000ffPart> PlanB000ffParts(uint64_t nImageSize) {
    std::vector<B000ffPart> parts;
    if (nImageSize == 0) {
        return parts;
    }
    parts.push_back({0, std::min(nImageSize, kBinFirstPartSize), kPdaBinFirstPart});
    if (nImageSize <= kBinFirstPartSize) {
        return parts;
    }
    const uint64_t rest = nImageSize - kBinFirstPartSize;
    const uint64_t middles = rest / kBinPartSize;
    uint64_t offset = kBinFirstPartSize;
    for (uint64_t k = 0; k < middles; ++k) {
        const uint32_t code =
            k < std::size(kMiddlePartCodes) ? kMiddlePartCodes[k] : kPdaProgramProgress;
        parts.push_back({offset, kBinPartSize, code});
        offset += kBinPartSize;
    }
    if (rest % kBinPartSize != 0) {
        parts.push_back({offset, rest % kBinPartSize, kPdaBinLastPart});
    }
    return parts;
}

StepResult StreamB000ffPart(CPdaCommands& commands, CSlotReporter& report, const uint8_t* pPart,
                            size_t nLength, bool bFirstPart, uint32_t nProgressCode) {
    size_t sent = 0;
    auto send = [&](uint16_t nKind, size_t n) {
        const BinStreamPacket packet(nKind, pPart + sent, n);
        if (!commands.WritePacket(packet.Data())) {
            return false;
        }
        sent += n;
        report.PdaProgress(nProgressCode, Percent(sent, nLength));
        return true;
    };
    const StepResult failed = StepResult::Fail(kPdaWriteFailed, 0);

    if (bFirstPart && nLength > 0) {
        if (!send(kBinKindImageHeader, std::min<size_t>(kBinImageHeaderSize, nLength))) {
            return failed;
        }
        SlotPause(kStreamPacing);
    }
    unsigned packets = 0;
    while (sent < nLength) {
        if (!send(kBinKindRecordHeader, std::min<size_t>(kBinRecordHeaderSize, nLength - sent))) {
            return failed;
        }
        if (packets % 3 == 0) {
            SlotPause(kStreamPacing);
        }
        size_t recordLeft = kBinRecordDataSize;
        // Full pieces while more of the record follows in this part. A part
        // that ends inside a record ends with that record's last piece, so
        // the loop always advances and never sends an empty packet.
        while (recordLeft > kPdaPayloadSize && nLength - sent > kPdaPayloadSize) {
            if (!send(kBinKindFullPiece, kPdaPayloadSize)) {
                return failed;
            }
            recordLeft -= kPdaPayloadSize;
            if (++packets % 3 == 1) {
                SlotPause(kStreamPacing);
            }
        }
        if (sent < nLength) {
            const size_t n = std::min(recordLeft, nLength - sent);
            if (!send(static_cast<uint16_t>(n), n)) {
                return failed;
            }
            packets = 0;
            SlotPause(kStreamPacing);
        }
    }
    return {};
}

StepResult StreamB000ffImage(CPdaCommands& commands, CSlotReporter& report, CImageFile& file,
                             int64_t nOffset, const std::vector<B000ffPart>& parts) {
    uint64_t largest = 0;
    for (const B000ffPart& part : parts) {
        largest = std::max(largest, part.nLength);
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[largest]);
    if (!buffer) {
        platform::Diag("pda", "no memory for a B000FF part");
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const B000ffPart& part = parts[i];
        const int64_t at = nOffset + static_cast<int64_t>(part.nOffset);
        const size_t length = static_cast<size_t>(part.nLength);
        if (file.Seek(at) != at || !file.ReadExactly(buffer.get(), length)) {
            return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
        }
        const StepResult result =
            StreamB000ffPart(commands, report, buffer.get(), length, i == 0, part.nProgressCode);
        if (!result.Ok()) {
            return result;
        }
    }
    return {};
}

}  // namespace fleet
