#pragma once
// The fixed pauses of a slot's job: between steps, before a device result is
// read, the stream's pacing, the wait for the modem port. They all go through
// here so that tests can shorten them with one scale; the default scale 1 is
// the protocol's own timing. The time a worker spends in them is counted per
// slot, for the benchmark.

#include <chrono>

namespace fleet {

// 1 keeps the protocol's pauses, 0.01 makes them a hundredth, 0 skips them.
// Set before workers start.
void SetPauseScale(double dScale);
double PauseScale();
// d times the scale.
std::chrono::nanoseconds ScaledPause(std::chrono::milliseconds d);

// Sleeps the scaled pause; counted for the slot the calling thread works for.
void SlotPause(std::chrono::milliseconds d);

// While it lives, the calling thread's pauses count for slot nSlot.
class CSlotPauseScope {
  public:
    explicit CSlotPauseScope(int nSlot);
    ~CSlotPauseScope();
    CSlotPauseScope(const CSlotPauseScope&) = delete;
    CSlotPauseScope& operator=(const CSlotPauseScope&) = delete;

  private:
    int m_nPrevious;
};

// Time slept in SlotPause for the slot (or in a wait that counts as a pause,
// see AddSlotPausedTime) since the last reset.
std::chrono::nanoseconds SlotPausedTime(int nSlot);
void ResetSlotPausedTime(int nSlot);
// For waits that end early when their event comes (the modem port's arrival).
void AddSlotPausedTime(std::chrono::nanoseconds d);

}  // namespace fleet
