#pragma once
// A stop asked of whatever the calling thread is doing for a slot: its pauses,
// its port reads and writes, the wait for the modem port and for the switch
// lock all look at the thread's stop flag and end early once it is set, so a
// worker asked to stop (the window is closing) ends within a slice of time
// instead of sitting out a 20 s wait or a 30 s read.

#include <atomic>
#include <chrono>

namespace fleet {

// How long a wait may go on after a stop before it sees it.
constexpr std::chrono::milliseconds kStopSlice{20};

// While it lives, the calling thread's waits honour *pFlag (null: none).
class CStopScope {
  public:
    explicit CStopScope(const std::atomic<bool>* pFlag);
    ~CStopScope();
    CStopScope(const CStopScope&) = delete;
    CStopScope& operator=(const CStopScope&) = delete;

  private:
    const std::atomic<bool>* m_pPrevious;
};

// Whether the calling thread has been asked to stop.
bool StopRequested();
// Whether the calling thread has a stop flag (its waits then go in slices).
bool StopWatched();
// Sleeps d, or less when a stop comes first; false when it did.
bool StoppableSleep(std::chrono::nanoseconds d);

}  // namespace fleet
