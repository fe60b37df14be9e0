#pragma once
// Steps both slot workers share, and the fixed pauses between their steps.

#include <chrono>
#include <cstdint>
#include <string>

#include "fleet/pda/step_result.h"

namespace fleet {

class CPdaCommands;
class CSlotReporter;
struct PlatformProfile;
struct SlotContext;

constexpr std::chrono::milliseconds kEbootStartPause{1000};
// Before the first large transfer: base + step x the slot's stagger, so that
// slots started together do not all stream at once.
constexpr std::chrono::milliseconds kStaggerBase{1000};
constexpr std::chrono::milliseconds kEbootStaggerStep{200};
constexpr std::chrono::milliseconds kImageStaggerStep{600};
constexpr std::chrono::milliseconds kProgramPause{500};
constexpr std::chrono::milliseconds kContainerEbootProgramPause{4000};
constexpr std::chrono::milliseconds kFilesEbootDonePause{2000};
constexpr std::chrono::milliseconds kImageDonePause{2000};
constexpr std::chrono::milliseconds kEraseLeadPause{500};
constexpr std::chrono::milliseconds kSignatureStepPause{1000};
constexpr std::chrono::milliseconds kPieceGapPause{300};
constexpr std::chrono::milliseconds kChecksumOkPause{500};
constexpr std::chrono::milliseconds kRegionDonePause{2000};

std::chrono::milliseconds StaggerPause(std::chrono::milliseconds step, int32_t nStagger);

// A worker can run only with its ports and profile.
bool ContextUsable(const SlotContext* pContext);
// For a context that is not: still ends the slot with a failing code (208,
// USB) when the slot can be told, so the batch can finish.
void FailUnusableContext(SlotContext* pContext);

// Signature mode: 220, the device's check of nLength bytes at the RAM
// address, then 221, or 222 on a mismatch. The device's result (the length
// it accepted) is handed back.
StepResult CheckSignatureStep(CPdaCommands& commands, CSlotReporter& report, uint32_t nRamAddress,
                              uint32_t nLength, uint32_t& nAccepted);

// The last step without a phone phase: PDA_FINISH (bFinish) or PDA_LAUNCH
// with the launch address, 218 (detail 0) when it went out, 219 when it did
// not; the PDA port is closed.
int FinishOnPda(SlotContext& ctx, CSlotReporter& report, bool bFinish);
// The last step after a phone phase: the launch frame, 218 (detail 0) when
// the modem acknowledged it, else 219; the modem port is closed.
int FinishOnPhone(SlotContext& ctx, CSlotReporter& report);

}  // namespace fleet
