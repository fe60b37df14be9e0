#pragma once
// The phone phase of a slot's job: switch the handset's USB connection to
// the modem, wait for and open the modem's port, then area by area of the
// profile's phone area table open (erase) the area and stream the phone
// image into it in acknowledged 1024-byte blocks. The launch frame that ends
// the job is sent by the worker's finish step.

#include <chrono>
#include <cstdint>
#include <span>

#include "fleet/images/platform_profile.h"
#include "fleet/pda/step_result.h"
#include "fleet/phone/hdlc_exchange.h"
#include "fleet/phone/modem_port.h"

namespace fleet {

class ComPort;
class CSlotReporter;
class PhoneBinaryFile;
struct SlotContext;

// Fixed pauses of the phase (scaled by the pause scale).
constexpr std::chrono::milliseconds kSwitchStartPause{500};
constexpr std::chrono::milliseconds kSwitchHoldPause{1000};
constexpr std::chrono::milliseconds kPortMissingPause{5000};
constexpr std::chrono::milliseconds kPortOpeningPause{500};
constexpr std::chrono::milliseconds kPortRetryPause{1000};
constexpr std::chrono::milliseconds kAreaDownloadStartPause{100};
constexpr std::chrono::milliseconds kAreaGapPause{500};
constexpr std::chrono::milliseconds kAreaErasedPause{2000};
constexpr std::chrono::milliseconds kParameterAreaErasedPause{1000};
constexpr std::chrono::milliseconds kPhoneDonePause{2000};
// Pauses after writing each kind of frame.
constexpr std::chrono::milliseconds kGreetingPause{5};
constexpr std::chrono::milliseconds kEfsErasePause{5};
constexpr std::chrono::milliseconds kAreaOpenPause{200};
constexpr std::chrono::milliseconds kParameterBlockPause{5};
constexpr std::chrono::milliseconds kDataBlockPause{5};
constexpr std::chrono::milliseconds kLaunchPause{100};
// How long the modem port may take to appear after the switch.
constexpr std::chrono::milliseconds kModemPortWait{20000};

constexpr int kContainerOpenAttempts = 10;
constexpr int kFilesOpenAttempts = 3;

// Area types with a handling of their own.
constexpr uint32_t kAreaTypeBib = 7;  // the parameter block, when the profile has one
constexpr uint32_t kAreaTypeEfs = 8;
constexpr uint32_t kParameterAreaIndex = 2;

// Bounds on the waits that would otherwise be open-ended, and where the
// modem port is found. Process-wide; set before workers start.
struct PhoneSettings {
    ModemInterfaceClass modem;
    std::chrono::milliseconds modemPortWait = kModemPortWait;
    std::chrono::milliseconds answerWait = kAnswerWaitBound;
    std::chrono::milliseconds eraseAnswerWait = kEraseAnswerWaitBound;
};
void SetPhoneSettings(const PhoneSettings& settings);
PhoneSettings CurrentPhoneSettings();

// What the area download takes from the slot and the profile.
struct PhoneParameters {
    const PhoneBinaryFile* pImage = nullptr;
    int nPhoneMode = 1;  // 1: the first two rows only
    std::span<const PhoneArea> areas;
    uint32_t nParameterBlockFlag = 0;
    const uint8_t* pHeaderBlock = nullptr;  // 24 bytes at offset 4 start the parameter block
    uint32_t nPhoneInit = 0;                // non-zero: the EFS area is erased
    std::chrono::milliseconds answerWait = kAnswerWaitBound;
    std::chrono::milliseconds eraseAnswerWait = kEraseAnswerWaitBound;
};

PhoneParameters PhoneParametersOf(const SlotContext& ctx, const PhoneSettings& settings);

// 314 when every area was written; otherwise 307, 310 or 313 with its detail.
StepResult AreaDownload(ComPort& port, CSlotReporter& report, const PhoneParameters& params);

// Switch, wait, open, areas. True after 314 was posted (and the pause after
// it): the worker goes on with its finish step, the modem port still open.
// False after a failing code was posted; the ports are closed.
bool RunPhonePhase(SlotContext& ctx, CSlotReporter& report, int nOpenAttempts,
                   bool bTakeSwitchLock);

// The launch frame on a fresh framer: 0 when the modem acknowledged it, -1
// otherwise (also when the port is not open).
int PhoneLaunch(ComPort& port, std::chrono::milliseconds answerWait);

}  // namespace fleet
