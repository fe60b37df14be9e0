#include "fleet/worker/worker_steps.h"

#include "fleet/images/platform_profile.h"
#include "fleet/images/slots.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/slot_report.h"
#include "fleet/phone/phone_phase.h"
#include "fleet/transport/com_port.h"
#include "fleet/transport/slot_context.h"
#include "fleet/transport/slot_messages.h"
#include "fleet/transport/usb_device_port.h"
#include "platform/format.h"

namespace fleet {

std::chrono::milliseconds StaggerPause(std::chrono::milliseconds step, int32_t nStagger) {
    return kStaggerBase + step * (nStagger > 0 ? nStagger : 0);
}

bool ContextUsable(const SlotContext* pContext) {
    return pContext != nullptr && pContext->pProfile != nullptr && pContext->pPdaPort != nullptr &&
           pContext->pPhonePort != nullptr && pContext->nSlot >= 0 && pContext->nSlot < kSlotCount;
}

void FailUnusableContext(SlotContext* pContext) {
    if (pContext == nullptr || pContext->nSlot < 0 || pContext->nSlot >= kSlotCount) {
        return;
    }
    CSlotReporter(*pContext).Pda(kPdaReadError, 0);
    if (pContext->pPdaPort != nullptr) {
        pContext->pPdaPort->Close();
    }
}

StepResult CheckSignatureStep(CPdaCommands& commands, CSlotReporter& report, uint32_t nRamAddress,
                              uint32_t nLength, uint32_t& nAccepted) {
    report.Pda(kPdaSignatureCheckStart);
    nAccepted = commands.CheckSignature(nRamAddress, nLength);
    if (nAccepted == 0) {
        return StepResult::Fail(kPdaSignatureFailed);
    }
    report.Pda(kPdaSignatureMatched);
    return {};
}

int FinishOnPda(SlotContext& ctx, CSlotReporter& report, bool bFinish) {
    CPdaCommands commands(*ctx.pPdaPort);
    const uint32_t address = ctx.pProfile->launchAddress;
    const PdaSend sent = bFinish ? commands.Finish(address) : commands.Launch(address);
    ctx.pPdaPort->Close();
    if (sent != PdaSend::Sent) {
        report.Pda(kPdaLaunchFailed);
        return -1;
    }
    report.Pda(kPdaJobFinished, 0);
    return 0;
}

int FinishOnPhone(SlotContext& ctx, CSlotReporter& report) {
    const int rc = PhoneLaunch(*ctx.pPhonePort, CurrentPhoneSettings().answerWait);
    ctx.pPhonePort->Close();
    if (rc != 0) {
        report.Pda(kPdaLaunchFailed);
        return -1;
    }
    report.Pda(kPdaJobFinished, 0);
    return 0;
}

}  // namespace fleet
