#include "fleet/phone/phone_phase.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <semaphore>

#include "fleet/images/phone_binary.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/phone/hdlc_frame.h"
#include "fleet/transport/com_port.h"
#include "fleet/transport/slot_context.h"
#include "fleet/transport/slot_events.h"
#include "fleet/transport/slot_messages.h"
#include "fleet/transport/stop_token.h"
#include "fleet/transport/usb_device_port.h"
#include "platform/diag_log.h"
#include "platform/port_open_failure.h"

namespace fleet {

namespace {

std::mutex g_settingsLock;
PhoneSettings g_settings;

constexpr int kGreetingAttempts = 10;
constexpr int kEfsEraseAttempts = 10;
constexpr int kAreaOpenAttempts = 10;
constexpr int kLaunchAttempts = 10;

uint32_t Percent(uint32_t i, uint32_t n) {
    return static_cast<uint32_t>(uint64_t{i} * 100 / n);
}

uint32_t ComNumber(const SlotContext& ctx) {
    const int32_t n = ctx.pPhoneComNumber != nullptr ? ctx.pPhoneComNumber->load() : 0;
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

// Holds the switch lock from before 300 until the pause after the switch;
// released on every way out.
class CSwitchLockHold {
  public:
    explicit CSwitchLockHold(bool bTake) : m_bHeld(false) {
        // Waited for without limit, unless the worker is asked to stop.
        while (bTake && !m_bHeld && !StopRequested()) {
            m_bHeld = g_switchLock.try_acquire_for(kStopSlice);
        }
    }
    ~CSwitchLockHold() { Release(); }
    CSwitchLockHold(const CSwitchLockHold&) = delete;
    CSwitchLockHold& operator=(const CSwitchLockHold&) = delete;
    void Release() {
        if (m_bHeld) {
            m_bHeld = false;
            g_switchLock.release();
        }
    }

  private:
    bool m_bHeld;
};

StepResult WriteParameterBlock(ComPort& port, CSlotReporter& report, const PhoneParameters& params,
                               uint32_t nStart, uint32_t nErase) {
    const HdlcFrame framer;
    report.Phone(kPhoneAreaEraseStart, kParameterAreaIndex);
    const int open =
        Exchange(port, framer.AreaOpen(nStart, nErase), 1, kAreaOpenPause, params.eraseAnswerWait);
    if (open != kHdlcAcknowledged) {
        return StepResult::Fail(kPhoneAreaEraseFailed, static_cast<uint32_t>(open));
    }
    report.Phone(kPhoneAreaEraseDone, kParameterAreaIndex);
    SlotPause(kParameterAreaErasedPause);
    report.Phone(kPhoneAreaWriteStart, kParameterAreaIndex);

    uint8_t block[kParameterBlockSize];
    std::memset(block, 0xFF, sizeof block);
    if (params.pHeaderBlock != nullptr) {
        std::memcpy(block, params.pHeaderBlock + 4, kParameterBlockSent);
    }
    uint8_t first[kParameterBlockSent];
    std::memcpy(first, block, sizeof first);
    if (Exchange(port, framer.ParameterBlock(nStart, first), 1, kParameterBlockPause,
                 params.answerWait) != kHdlcAcknowledged) {
        return StepResult::Fail(kPhoneWriteFailed, 0);
    }
    report.Phone(kPhoneWriteProgress, 100);
    report.Phone(kPhoneWriteProgress, 100);
    return {};
}

StepResult WriteArea(ComPort& port, CSlotReporter& report, const PhoneParameters& params,
                     uint32_t nType, uint32_t nStart, uint32_t nErase, uint32_t nWrite) {
    const HdlcFrame framer;
    constexpr uint32_t kBlock = kPhoneDataBlockSize;
    const uint32_t blocks = nWrite / kBlock + (nWrite % kBlock != 0 ? 1 : 0);
    const size_t firstBlock = nStart / kPhoneDataBlockSize;
    // Every block must be the image's: an image that ends before the area
    // does fails here, before the area is erased.
    if (blocks > 0 && params.pImage->GetRecord(firstBlock + blocks - 1) == nullptr) {
        platform::Diag("phone", "the phone image ends before area " + std::to_string(nType));
        return StepResult::Fail(kPhoneWriteFailed, 0);
    }
    report.Phone(kPhoneAreaEraseStart, nType);
    const int open = Exchange(port, framer.AreaOpen(nStart, nErase), kAreaOpenAttempts,
                              kAreaOpenPause, params.eraseAnswerWait);
    if (open != kHdlcAcknowledged) {
        return StepResult::Fail(kPhoneAreaEraseFailed, static_cast<uint32_t>(open));
    }
    report.Phone(kPhoneAreaEraseDone, nType);
    SlotPause(kAreaErasedPause);
    if (nWrite == 0) {
        return {};
    }
    for (uint32_t i = 0; i < blocks; ++i) {
        const PhoneWriteRecord* record = params.pImage->GetRecord(firstBlock + i);
        if (record == nullptr ||
            Exchange(port, HdlcFrame::DataBlock(record->Data()), 1, kDataBlockPause,
                     params.answerWait) != kHdlcAcknowledged) {
            return StepResult::Fail(kPhoneWriteFailed, Percent(i, blocks));
        }
        report.PhoneProgress(Percent(i, blocks));
    }
    report.Phone(kPhoneWriteProgress, 100);
    return {};
}

}  // namespace

void SetPhoneSettings(const PhoneSettings& settings) {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    g_settings = settings;
}

PhoneSettings CurrentPhoneSettings() {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    return g_settings;
}

PhoneParameters PhoneParametersOf(const SlotContext& ctx, const PhoneSettings& settings) {
    PhoneParameters params;
    params.pImage = ctx.pPhoneImage;
    params.nPhoneMode = ctx.nPhoneMode;
    if (ctx.pProfile != nullptr) {
        params.areas = ctx.pProfile->phoneAreas;
        params.nParameterBlockFlag = ctx.pProfile->phoneParamBlockFlag;
        params.pHeaderBlock = ctx.pProfile->phoneHeaderBlock;
    }
    params.nPhoneInit = ctx.nPhoneInit;
    params.answerWait = settings.answerWait;
    params.eraseAnswerWait = settings.eraseAnswerWait;
    return params;
}

StepResult AreaDownload(ComPort& port, CSlotReporter& report, const PhoneParameters& params) {
    SlotPause(kAreaDownloadStartPause);
    if (params.pImage == nullptr || !params.pImage->IsLoaded()) {
        return StepResult::Fail(kPhoneWriteFailed, 0);
    }
    size_t rows = params.areas.size();
    if (params.nPhoneMode == 1) {
        rows = std::min<size_t>(rows, 2);
    }
    const uint32_t imageLength = params.pImage->Size();
    const HdlcFrame framer;
    for (size_t r = 0; r < rows; ++r) {
        const PhoneArea& area = params.areas[r];
        const uint32_t start = area.m_dwStartAddr;
        uint32_t erase = area.eraseLength;
        uint32_t write = area.writeLength;
        if (write == kPhoneWriteToEnd) {
            if (imageLength < start) {
                // "Up to the end" of an image that ends before the area begins.
                platform::Diag("phone", "the phone image ends before its area starts");
                return StepResult::Fail(kPhoneWriteFailed, 0);
            }
            write = erase = imageLength - start;
        }
        const std::vector<uint8_t> greeting = framer.Greeting();
        SendOnly(port, greeting, 1, kGreetingPause);
        if (ExchangeAfterUnwaited(port, greeting, kGreetingAttempts, kGreetingPause,
                                  params.answerWait, kLateAnswerBound) != kHdlcAcknowledged) {
            return StepResult::Fail(kPhoneJumpFailed, 0);
        }
        StepResult result;
        if (area.areaType == kAreaTypeBib && params.nParameterBlockFlag != 0) {
            result = WriteParameterBlock(port, report, params, start, erase);
        } else if (area.areaType == kAreaTypeEfs) {
            if (params.nPhoneInit != 0) {
                report.Phone(kPhoneAreaEraseStart, kAreaTypeEfs);
                const int code = Exchange(port, framer.EfsErase(), kEfsEraseAttempts,
                                          kEfsErasePause, params.eraseAnswerWait);
                if (code != kHdlcAcknowledged) {
                    result = StepResult::Fail(kPhoneAreaEraseFailed, static_cast<uint32_t>(code));
                } else {
                    report.Phone(kPhoneAreaEraseDone, kAreaTypeEfs);
                }
            }
        } else {
            result = WriteArea(port, report, params, area.areaType, start, erase, write);
        }
        if (!result.Ok()) {
            return result;
        }
        SlotPause(kAreaGapPause);
    }
    return {kPhoneAllAreasWritten, 0};
}

bool RunPhonePhase(SlotContext& ctx, CSlotReporter& report, int nOpenAttempts,
                   bool bTakeSwitchLock) {
    const PhoneSettings settings = CurrentPhoneSettings();
    ComPort& port = *ctx.pPhonePort;
    CPdaCommands pda(*ctx.pPdaPort);
    CAutoResetEvent& portArrived = g_phonePortEvents[static_cast<size_t>(ctx.nSlot)];
    if (ctx.pPhoneImage == nullptr || !ctx.pPhoneImage->IsLoaded()) {
        // Nothing to write: better said now than after the handset has
        // been switched to a modem that would only be erased.
        report.Phone(kPhoneDownloadStartFailed);
        ctx.pPdaPort->Close();
        return false;
    }

    {
        CSwitchLockHold lock(bTakeSwitchLock);
        // A set left from an earlier job must not stand in for this port's arrival.
        portArrived.Reset();
        report.Phone(kPhoneSwitchStart);
        SlotPause(kSwitchStartPause);
        pda.SwitchPrepare();
        pda.SwitchToPhone(ctx.pProfile->launchAddress);
        if (bTakeSwitchLock) {
            SlotPause(kSwitchHoldPause);
        }
    }

    if (!portArrived.Wait(settings.modemPortWait)) {
        report.Phone(kPhonePortMissing, ComNumber(ctx));
        SlotPause(kPortMissingPause);
    }
    report.Phone(kPhonePortOpening, ComNumber(ctx));
    SlotPause(kPortOpeningPause);

    uint32_t com = ComNumber(ctx);
    if (port.Initialise() != 1) {
        report.Phone(kPhonePortOpenFailed, com);
        return false;
    }
    bool bOpen = false;
    std::string failedPath;
    for (int attempt = 0; attempt < nOpenAttempts && !bOpen; ++attempt) {
        // The number and the link are looked up on every attempt: the modem
        // port may appear after the wait, and its number is learnt only then.
        com = ComNumber(ctx);
        const std::string path = FindModemPort(settings.modem, com, ctx.strDeviceName);
        bOpen = !path.empty() && port.Open(path + kModemLineSettings) == 1 && port.IsOpen();
        failedPath = bOpen || port.OpenError() == 0 ? std::string() : path;
        if (!bOpen) {
            SlotPause(kPortRetryPause);
        }
    }
    if (!bOpen) {
        if (!failedPath.empty()) {
            // The port is there but would not open: the slot log says why,
            // just before the failure itself.
            report.Log(
                "PHONE-" +
                platform::ExplainPortOpenFailure(failedPath, port.OpenError()).Text("\r\nPHONE-") +
                "\r\n");
        }
        report.Phone(kPhonePortOpenFailed, com);
        port.Close();
        return false;
    }
    report.Phone(kPhonePortOpened, com);

    const StepResult result = AreaDownload(port, report, PhoneParametersOf(ctx, settings));
    if (result.nCode == kPhoneAllAreasWritten) {
        report.Phone(kPhoneAllAreasWritten);
        SlotPause(kPhoneDonePause);
        return true;
    }
    report.Phone(result.nCode, result.nDetail);
    port.Close();
    return false;
}

int PhoneLaunch(ComPort& port, std::chrono::milliseconds answerWait) {
    if (!port.IsOpen()) {
        return -1;
    }
    HdlcFrame framer;
    return Exchange(port, framer.Launch(), kLaunchAttempts, kLaunchPause, answerWait) ==
                   kHdlcAcknowledged
               ? 0
               : -1;
}

}  // namespace fleet
