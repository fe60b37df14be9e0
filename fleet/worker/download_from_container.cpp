#include "fleet/worker/download_from_container.h"

#include <string>

#include "fleet/images/container.h"
#include "fleet/images/image_file.h"
#include "fleet/images/platform_profile.h"
#include "fleet/pda/b000ff_stream.h"
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

class CContainerJob {
  public:
    explicit CContainerJob(SlotContext& ctx)
        : m_ctx(ctx),
          m_profile(*ctx.pProfile),
          m_report(ctx),
          m_pda(*ctx.pPdaPort),
          m_file(ctx.programFile) {}

    int Run();

  private:
    int Fail(const StepResult& result) {
        m_report.Pda(result.nCode, result.nDetail);
        m_file.Close();
        m_ctx.pPdaPort->Close();
        return -1;
    }
    StepResult Eboot(const ContainerTrailer& trailer);
    StepResult PdaImage(const ContainerTrailer& trailer);
    int PhoneAndFinish();

    SlotContext& m_ctx;
    const PlatformProfile& m_profile;
    CSlotReporter m_report;
    CPdaCommands m_pda;
    CImageFile& m_file;
};

StepResult CContainerJob::Eboot(const ContainerTrailer& trailer) {
    const uint32_t ram = m_profile.ramBufferAddress;
    if (!EbootSizeFits(trailer.ebootSize, m_profile)) {
        // Exactly the partition's length is programmed from RAM.
        m_report.Log(EbootSizeText(trailer.ebootSize, m_profile) + "\r\n");
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    if (m_file.Seek(trailer.ebootOffset) != trailer.ebootOffset) {
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    m_report.Pda(kPdaEbootUpdateStart);
    SlotPause(kEbootStartPause);
    m_report.Pda(kPdaEbootTransferStart);
    SlotPause(StaggerPause(kEbootStaggerStep, m_ctx.nStagger));
    StepResult result = TransferToRam(m_pda, m_report, m_file,
                                      int64_t{trailer.ebootOffset} + trailer.ebootSize, ram);
    if (!result.Ok()) {
        return result;
    }
    if (m_profile.signatureMode != 0) {
        uint32_t accepted = 0;
        result = CheckSignatureStep(m_pda, m_report, ram, trailer.ebootSize, accepted);
        if (!result.Ok()) {
            return result;
        }
    }
    m_report.Pda(kPdaWritingStart);
    SlotPause(kProgramPause);
    if (m_pda.Program(ram, m_profile.ebootLength, m_profile.flashAddress) != PdaSend::Sent) {
        return StepResult::Fail(kPdaWriteFailed, 0);
    }
    m_report.Pda(kPdaEbootUpdateDone);
    SlotPause(kContainerEbootProgramPause);
    return {};
}

StepResult CContainerJob::PdaImage(const ContainerTrailer& trailer) {
    const uint32_t ram = m_profile.ramBufferAddress;
    const uint32_t flash = m_profile.flashAddress;
    const int64_t regionEnd = int64_t{trailer.pdaOffset} + trailer.pdaSize;
    const int64_t dataEnd = FindRegionDataEnd(m_file, trailer.pdaOffset, regionEnd);
    if (dataEnd < 0) {
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    // The data end is a file position; the trailer's 32-bit offsets bound it.
    const uint32_t dataEnd32 = static_cast<uint32_t>(dataEnd);
    const bool bB000ff = IsB000ffRegion(m_file, trailer.pdaOffset);

    if (bB000ff) {
        if (m_profile.preProgram != 0 && m_pda.ProgramBin(ram, dataEnd32, flash) != PdaSend::Sent) {
            return StepResult::Fail(kPdaWriteFailed, 0);
        }
        m_report.Pda(kPdaWritingStart);
        SlotPause(StaggerPause(kImageStaggerStep, m_ctx.nStagger));
        const std::vector<B000ffPart> parts = PlanB000ffParts(trailer.pdaSize);
        m_report.MainLog(platform::Format("PDA Image part:%d\r\n", static_cast<int>(parts.size())));
        const StepResult result =
            StreamB000ffImage(m_pda, m_report, m_file, trailer.pdaOffset, parts);
        m_file.Close();
        return result;
    }

    m_report.Pda(kPdaTransferStart, 0);
    if (m_file.Seek(trailer.pdaOffset) != trailer.pdaOffset) {
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    const StepResult result = TransferToRam(m_pda, m_report, m_file, regionEnd, ram);
    m_file.Close();
    if (!result.Ok()) {
        return result;
    }
    m_report.Pda(m_profile.signatureMode != 0 ? kPdaSignatureCheckStart : kPdaTransferDoneErasing);
    if (m_profile.preProgram != 0 && m_pda.ProgramRaw(ram, dataEnd32, flash) != PdaSend::Sent) {
        return StepResult::Fail(kPdaWriteFailed, 0);
    }
    return AwaitRawImageAcks(m_pda, m_report, RawImageBlockCount(dataEnd32, m_profile.ackBlock));
}

int CContainerJob::PhoneAndFinish() {
    // Without the launch flag ("Multi Download") the job ends without launching.
    const bool bNoLaunch = m_profile.launchVariant != 0 || m_ctx.nLaunchFlag == 0;
    if (m_ctx.nPhoneFlag == 0) {
        return FinishOnPda(m_ctx, m_report, bNoLaunch);
    }
    if (!RunPhonePhase(m_ctx, m_report, kContainerOpenAttempts, false)) {
        return -1;
    }
    if (bNoLaunch) {
        m_report.Pda(kPdaJobFinished, 1);
        m_ctx.pPhonePort->Close();
        return 0;
    }
    return FinishOnPhone(m_ctx, m_report);
}

int CContainerJob::Run() {
    m_ctx.bEboot = 1;
    ContainerTrailer trailer;
    if (!ReadContainerTrailer(m_file, trailer)) {
        // Said to the operator; and the batch must still be able to finish:
        // the slot fails with a code.
        m_report.MessageBox(kContainerReadError);
        m_report.Log(kContainerReadError);
        return Fail(StepResult::Fail(kPdaReadError, kReadErrorImageFile));
    }
    if (trailer.HasMagic()) {
        std::string why;
        const int64_t length = m_file.Length();
        if (length < 0 || !CheckContainerRegions(trailer, static_cast<uint64_t>(length), why)) {
            platform::Diag("pda", "container: " + why);
            return Fail(StepResult::Fail(kPdaReadError, kReadErrorImageFile));
        }
        if (trailer.HasEboot()) {
            const StepResult result = Eboot(trailer);
            if (!result.Ok()) {
                return Fail(result);
            }
        }
        m_ctx.bPda = 1;
        const StepResult result = PdaImage(trailer);
        if (!result.Ok()) {
            return Fail(result);
        }
        SlotPause(kImageDonePause);
    }
    m_file.Close();
    return PhoneAndFinish();
}

}  // namespace

int DownloadFromContainerThread(SlotContext* pContext) {
    if (!ContextUsable(pContext)) {
        FailUnusableContext(pContext);
        platform::Diag("pda", "container worker started without its ports or profile");
        return -1;
    }
    CSlotPauseScope pauses(pContext->nSlot);
    CContainerJob job(*pContext);
    return job.Run();
}

}  // namespace fleet
