#pragma once
// What workers tell the window, and the only way they tell it: private window
// messages posted under g_postLock, so that each slot's messages arrive in the
// order its worker posted them. A worker touches no control.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/window_message.h"

namespace fleet {

constexpr uint32_t WM_PDA_PROGRESS = 0x08D7;    // wParam: a PdaCode
constexpr uint32_t WM_PHONE_PROGRESS = 0x08D8;  // wParam: a PhoneCode
constexpr uint32_t WM_SLOT_LOG = 0x08D9;        // wParam: a text the window takes over
// A text for the window itself rather than a slot's log: a line of the
// shared log, or a message box. wParam: a text the window takes over;
// lParam: the slot, and the kind as the argument.
constexpr uint32_t WM_WINDOW_TEXT = 0x08DA;
constexpr uint32_t kWindowTextLog = 0;
constexpr uint32_t kWindowTextBox = 1;
// Posted for a slot once its worker has returned, after everything the
// worker posted: when it is handled, the slot's log is complete.
constexpr uint32_t WM_WORKER_ENDED = 0x08DB;  // lParam: the slot

// PDA-side codes of WM_PDA_PROGRESS; the argument each carries in brackets.
enum PdaCode : uint32_t {
    kPdaEbootUpdateStart = 200,
    kPdaEbootTransferStart = 202,
    kPdaEbootUpdateDone = 203,
    kPdaWritingStart = 204,
    kPdaEraseStart = 205,
    kPdaTransferStart = 206,  // [region index]
    kPdaTransferDoneErasing = 207,
    kPdaReadError = 208,         // [1 = image file, other = USB]; fails the job
    kPdaTransferProgress = 209,  // [percentage]
    kPdaSignatureErase = 210,
    kPdaChecksumStart = 211,
    kPdaChecksumCorrect = 212,
    kPdaChecksumWrong = 213,    // fails the job
    kPdaRegionDone = 214,       // [region index]
    kPdaProgramProgress = 215,  // [percentage]
    kPdaProgramDone = 216,      // [100]
    kPdaWriteFailed = 217,      // [percentage reached]; fails the job
    kPdaJobFinished = 218,      // [0 final command sent, 1 ended without one]
    kPdaLaunchFailed = 219,     // fails the job
    kPdaSignatureCheckStart = 220,
    kPdaSignatureMatched = 221,
    kPdaSignatureFailed = 222,  // fails the job
    kPdaBinFirstPart = 316,     // [percentage]; 317..320 parts 2..5
    kPdaBinLastPart = 321,      // [percentage]
};
constexpr uint32_t kReadErrorImageFile = 1;

// Phone-side codes of WM_PHONE_PROGRESS.
enum PhoneCode : uint32_t {
    kPhoneSwitchStart = 300,
    kPhonePortOpened = 301,      // [COM number]
    kPhonePortOpenFailed = 302,  // [COM number]; fails the job
    kPhonePortOpening = 303,     // [COM number]
    kPhoneDownloadStart = 304,
    kPhoneDownloadStartFailed = 305,
    kPhoneJumpAccepted = 306,
    kPhoneJumpFailed = 307,
    kPhoneAreaEraseStart = 308,   // [area index]
    kPhoneAreaEraseDone = 309,    // [area index]
    kPhoneAreaEraseFailed = 310,  // [device reply byte]
    kPhoneAreaWriteStart = 311,   // [area index]
    kPhoneWriteProgress = 312,    // [percentage]
    kPhoneWriteFailed = 313,      // [percentage reached]
    kPhoneAllAreasWritten = 314,
    kPhonePortMissing = 315,  // [COM number]
};

// lParam of the progress messages: bits 0..15 the slot, bits 16..31 the argument.
constexpr intptr_t MakeSlotLParam(int nSlot, uint32_t nArgument) {
    return static_cast<intptr_t>(((nArgument & 0xFFFFu) << 16) |
                                 (static_cast<uint32_t>(nSlot) & 0xFFFFu));
}
constexpr int SlotOfLParam(intptr_t lParam) {
    return static_cast<int>(static_cast<uintptr_t>(lParam) & 0xFFFFu);
}
constexpr uint32_t ArgumentOfLParam(intptr_t lParam) {
    return static_cast<uint32_t>((static_cast<uintptr_t>(lParam) >> 16) & 0xFFFFu);
}

// Held around every post of every worker.
extern std::mutex g_postLock;

void PostSlotMessage(platform::IMessageSink* pWindow, uint32_t nMsg, uintptr_t nCode,
                     intptr_t lParam);

// WM_SLOT_LOG with a copy of the text, so the worker's own text may go before
// the window appends it. The window takes the copy over with AdoptSlotLogText.
void PostSlotLog(platform::IMessageSink* pWindow, int nSlot, const std::string& text);
// WM_WINDOW_TEXT of the kind, with a copy of the text.
void PostWindowText(platform::IMessageSink* pWindow, int nSlot, uint32_t nKind,
                    const std::string& text);
// The text of a WM_SLOT_LOG or WM_WINDOW_TEXT message, now owned by the
// caller; nullptr for other messages. Call exactly once per such message.
std::unique_ptr<char[]> AdoptSlotLogText(const platform::WindowMessage& msg);

}  // namespace fleet
