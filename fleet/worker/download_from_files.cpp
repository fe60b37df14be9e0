#include "fleet/worker/download_from_files.h"

#include <algorithm>

#include "fleet/images/image_file.h"
#include "fleet/images/platform_profile.h"
#include "fleet/pda/flash_acks.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/ram_transfer.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/phone/phone_phase.h"
#include "fleet/transport/com_port.h"
#include "fleet/transport/slot_context.h"
#include "fleet/transport/slot_messages.h"
#include "fleet/transport/usb_device_port.h"
#include "fleet/worker/worker_steps.h"
#include "platform/diag_log.h"
#include "platform/format.h"

namespace fleet {

namespace {

constexpr uint32_t kReadErrorUsb = 0;

class CFilesJob {
  public:
    explicit CFilesJob(SlotContext& ctx)
        : m_ctx(ctx), m_profile(*ctx.pProfile), m_report(ctx), m_pda(*ctx.pPdaPort) {}

    int Run();

  private:
    int Fail(const StepResult& result) {
        m_report.Pda(result.nCode, result.nDetail);
        if (result.nCode == kPdaChecksumWrong) {
            m_report.Log(
                platform::Format(kChecksumLogFormat, m_nDeviceChecksum, m_nExpectedChecksum));
        }
        m_ctx.pPdaPort->Close();
        return -1;
    }
    StepResult Eboot();
    StepResult Region(size_t nIndex, const RegionEntry& entry, const PdaRegionDescriptor& region);
    StepResult Piece(size_t nIndex, CImageFile& file, const RegionEntry& entry,
                     const PdaRegionDescriptor& region, uint32_t& nPieceStart, uint32_t nPiece,
                     uint32_t& nRamAddress, uint32_t nFlashAddress);

    SlotContext& m_ctx;
    const PlatformProfile& m_profile;
    CSlotReporter m_report;
    CPdaCommands m_pda;
    uint32_t m_nDeviceChecksum = 0;
    uint32_t m_nExpectedChecksum = 0;
};

StepResult CFilesJob::Eboot() {
    const uint32_t ram = m_profile.ramBufferAddress;
    m_report.Pda(kPdaEbootUpdateStart);
    SlotPause(kEbootStartPause);
    CImageFile* file = m_ctx.pEbootFile;
    if (file == nullptr || file->Seek(0) != 0) {
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    const int64_t length = file->Length();
    if (length < 0 || !EbootSizeFits(static_cast<uint64_t>(length), m_profile)) {
        // Exactly the profile's EBOOT length is sent from the file.
        m_report.Log(EbootSizeText(static_cast<uint64_t>(std::max<int64_t>(0, length)), m_profile) +
                     "\r\n");
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    m_report.Pda(kPdaEbootTransferStart);
    SlotPause(StaggerPause(kEbootStaggerStep, m_ctx.nStagger));
    StepResult result = TransferToRam(m_pda, m_report, *file, m_profile.ebootLength, ram);
    if (!result.Ok()) {
        return result;
    }
    if (m_profile.signatureMode != 0) {
        uint32_t accepted = 0;
        result = CheckSignatureStep(m_pda, m_report, ram, static_cast<uint32_t>(length), accepted);
        if (!result.Ok()) {
            return result;
        }
    }
    // No programming command for EBOOT in this mode.
    m_report.Pda(kPdaWritingStart);
    SlotPause(kProgramPause);
    m_report.Pda(kPdaEbootUpdateDone);
    SlotPause(kFilesEbootDonePause);
    return {};
}

StepResult CFilesJob::Piece(size_t nIndex, CImageFile& file, const RegionEntry& entry,
                            const PdaRegionDescriptor& region, uint32_t& nPieceStart,
                            uint32_t nPiece, uint32_t& nRamAddress, uint32_t nFlashAddress) {
    const bool bSignature = m_profile.signatureMode != 0;
    if (!bSignature) {
        m_report.Pda(kPdaEraseStart);
        SlotPause(kEraseLeadPause);
        if (m_pda.Erase(nFlashAddress, nPiece) != PdaSend::Sent) {
            return StepResult::Fail(kPdaWriteFailed, 0);
        }
    }
    if (file.Seek(nPieceStart) != nPieceStart) {
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    m_report.Pda(kPdaTransferStart, static_cast<uint32_t>(nIndex));
    StepResult result =
        TransferToRam(m_pda, m_report, file, int64_t{nPieceStart} + nPiece, nRamAddress);
    if (!result.Ok()) {
        return result;
    }
    m_report.Pda(bSignature ? kPdaSignatureCheckStart : kPdaTransferDoneErasing);
    if (bSignature) {
        SlotPause(kSignatureStepPause);
        const uint32_t accepted = m_pda.CheckSignature(
            nRamAddress, static_cast<uint32_t>(entry.nEndOffset) - nPieceStart);
        if (accepted == 0) {
            return StepResult::Fail(kPdaSignatureFailed);
        }
        m_report.Pda(kPdaSignatureMatched);
        SlotPause(kSignatureStepPause);
        m_report.Pda(kPdaEraseStart);
        if (region.signedRegion != 0) {
            nPieceStart = m_profile.signatureHeaderSize;
            nRamAddress += m_profile.signatureHeaderSize;
        }
        if (m_pda.Erase(nFlashAddress, accepted - nPieceStart) != PdaSend::Sent) {
            return StepResult::Fail(kPdaWriteFailed, 0);
        }
        m_report.Pda(kPdaSignatureErase);
    }
    return AwaitPieceAcks(m_pda, m_report, nPiece, m_profile.ackBlock);
}

StepResult CFilesJob::Region(size_t nIndex, const RegionEntry& entry,
                             const PdaRegionDescriptor& region) {
    if (entry.pImageFile == nullptr || entry.nStartOffset < 0 ||
        entry.nEndOffset < entry.nStartOffset) {
        platform::Diag("pda", "region " + std::to_string(nIndex) + " has no usable file range");
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    CImageFile& file = *entry.pImageFile;
    const uint32_t length = static_cast<uint32_t>(entry.nEndOffset - entry.nStartOffset);
    uint32_t pieceStart = static_cast<uint32_t>(entry.nStartOffset);
    uint32_t flash = region.flashAddress;
    uint32_t ram = m_profile.ramBufferAddress;
    uint32_t left = length;
    m_report.Pda(kPdaTransferStart, static_cast<uint32_t>(nIndex));
    while (left > 0) {
        // Every piece, not only the first, fits the device's RAM buffer.
        const uint32_t piece =
            m_profile.maximumChunk != 0 ? std::min(m_profile.maximumChunk, left) : left;
        const StepResult result = Piece(nIndex, file, entry, region, pieceStart, piece, ram, flash);
        if (!result.Ok()) {
            return result;
        }
        left -= piece;
        pieceStart += piece;
        flash += piece;
        SlotPause(kPieceGapPause);
    }
    if (m_profile.signatureMode != 0) {
        return {};
    }
    m_report.Pda(kPdaChecksumStart);
    uint32_t device = 0;
    switch (m_pda.VerifyChecksum(region.checksumAddress, length, entry.nExpectedChecksum, device)) {
        case ChecksumResult::Match:
            break;
        case ChecksumResult::Mismatch:
            m_nDeviceChecksum = device;
            m_nExpectedChecksum = entry.nExpectedChecksum;
            return StepResult::Fail(kPdaChecksumWrong);
        case ChecksumResult::NoReply:
        case ChecksumResult::NotSent:
            // A device that gives no checksum has not confirmed the region.
            return StepResult::Fail(kPdaReadError, kReadErrorUsb);
    }
    m_report.Pda(kPdaChecksumCorrect);
    SlotPause(kChecksumOkPause);
    m_report.Pda(kPdaRegionDone, static_cast<uint32_t>(nIndex));
    SlotPause(kRegionDonePause);
    return {};
}

int CFilesJob::Run() {
    if (m_ctx.bEboot != 0) {
        const StepResult result = Eboot();
        if (!result.Ok()) {
            return Fail(result);
        }
    }
    if (m_ctx.bPda != 0) {
        const size_t count = std::min(m_profile.pdaRegions.size(), m_ctx.regions.size());
        for (size_t i = 0; i < count; ++i) {
            const RegionEntry& entry = m_ctx.regions[i];
            if (entry.bEnabled == 0) {
                continue;
            }
            const StepResult result = Region(i, entry, m_profile.pdaRegions[i]);
            if (!result.Ok()) {
                return Fail(result);
            }
        }
    }
    if (m_pda.Handover(HandoverCommand(m_profile), m_profile.launchAddress) != PdaSend::Sent) {
        return Fail(StepResult::Fail(kPdaLaunchFailed));
    }
    const bool bPhone = m_ctx.nPhoneFlag != 0;
    if (bPhone && !RunPhonePhase(m_ctx, m_report, kFilesOpenAttempts, true)) {
        return -1;
    }
    if (m_ctx.nLaunchFlag == 0) {
        m_report.Pda(kPdaJobFinished, 1);
        m_ctx.pPdaPort->Close();
        m_ctx.pPhonePort->Close();
        return 0;
    }
    return bPhone ? FinishOnPhone(m_ctx, m_report)
                  : FinishOnPda(m_ctx, m_report, m_profile.launchVariant != 0);
}

}  // namespace

int DownloadFromFilesThread(SlotContext* pContext) {
    if (!ContextUsable(pContext)) {
        FailUnusableContext(pContext);
        platform::Diag("pda", "files worker started without its ports or profile");
        return -1;
    }
    CSlotPauseScope pauses(pContext->nSlot);
    CFilesJob job(*pContext);
    return job.Run();
}

}  // namespace fleet
