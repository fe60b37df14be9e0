#pragma once
// What the multi-slot window shows and counts, without widgets: eight slots
// with their label, colour, progress text and position, state, log and reset
// button; the shared log; the counters; the free-slot stack; and the handlers
// that turn the workers' posted codes into all of that. The Qt window and the
// command line both display a board.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fleet/images/platform_profile.h"
#include "fleet/transport/slot_launch.h"  // SlotState

namespace fleet {

constexpr int kBoardSlots = 8;

// Colour references as the window uses them (0x00BBGGRR).
constexpr uint32_t kColourYellow = 0x00FFFF;
constexpr uint32_t kColourGreen = 0x00FF00;
constexpr uint32_t kColourBlue = 0xFF0000;
constexpr uint32_t kColourRed = 0x0000FF;

// Longest text one AppendLog/AppendSlotLog call adds (the rest is cut).
constexpr size_t kLogLineLimit = 511;

struct SlotView {
    int32_t nState = kSlotEmpty;
    int32_t nBusy = 0;
    std::string strLabel;  // "PDA 1" / "PHONE 1"
    uint32_t nLabelColour = kColourYellow;
    std::string strProgressText;
    int32_t nProgress = 0;
    bool bResetEnabled = false;
    std::string strDeviceName;
    int32_t nPhoneCom = 0;
    int32_t bWatching = 0;  // 1 while the worker waits for its modem port
    std::string strLog;
    uint32_t nEndCode = 0;  // the code the slot ended on, once it has
    // Finished or failed: the slot takes no more codes until it is reset.
    bool Ended() const { return nState == kSlotFinished || nState == kSlotFailed; }
};

class CSlotBoard {
  public:
    CSlotBoard();

    // The profile whose region names codes 206 and 214 show (none: "?").
    void SetProfile(const PlatformProfile* pProfile) { m_pProfile = pProfile; }

    void InitSlots();
    void InitSlot(int nSlot);
    // Detection armed: waiting slots say so.
    void Detect();
    // A device accepted for the slot on top of the free-slot stack.
    int TopFreeSlot() const { return m_nTop >= 0 ? m_anFree[static_cast<size_t>(m_nTop)] : -1; }
    void SlotAccepted(int nSlot);
    // The operator's reset of one slot / of all of them.
    void ResetSlot(int nSlot);
    void ResetAll();
    // A worker started for the slot.
    void SlotStarted(int nSlot);

    void OnPdaProgress(uint32_t nCode, intptr_t lParam);
    void OnPhoneProgress(uint32_t nCode, intptr_t lParam);
    void OnSlotLog(int nSlot, const std::string& text);

    void AppendLog(const std::string& text);
    void AppendSlotLog(int nSlot, const std::string& text);

    // The selectors, the platform list and "reset all": enabled again when
    // every detected slot has ended.
    bool SelectorsEnabled() const { return m_bSelectorsEnabled; }
    void SetSelectorsEnabled(bool b) { m_bSelectorsEnabled = b; }
    // Closing needs the operator's word while handsets are still being served.
    bool CloseNeedsConfirmation() const;
    bool BatchEnded() const { return m_nDetected > 0 && m_nFinished + m_nFailed == m_nDetected; }
    std::string CounterText() const;

    const SlotView& Slot(int nSlot) const { return m_slots[static_cast<size_t>(nSlot)]; }
    SlotView& MutableSlot(int nSlot) { return m_slots[static_cast<size_t>(nSlot)]; }
    const std::string& Log() const { return m_strLog; }

    int32_t m_nDetected = 0;
    int32_t m_nFinished = 0;
    int32_t m_nFailed = 0;
    int32_t m_nFree = kBoardSlots;
    int32_t m_bDetectArmed = 0;

  private:
    // The slot a progress message is for; null when out of range or ended.
    SlotView* LiveSlotOf(intptr_t lParam);
    void CommonEnding(int nSlot, uint32_t nCode);
    std::string RegionName(uint32_t nIndex) const;
    void Push(int nSlot);

    std::array<SlotView, kBoardSlots> m_slots{};
    std::array<int, kBoardSlots> m_anFree{};
    int m_nTop = -1;
    std::string m_strLog;
    bool m_bSelectorsEnabled = true;
    const PlatformProfile* m_pProfile = nullptr;
};

// "BOOT area" for 1 ... "EFS area" for 8, "CODE area" otherwise.
const char* PhoneAreaName(uint32_t nArea);

}  // namespace fleet
