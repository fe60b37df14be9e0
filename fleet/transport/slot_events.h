#pragma once
// The objects all workers share besides g_postLock: one auto-reset event per
// slot that the window sets when the slot's modem port arrives, and the switch
// lock that lets one files-mode worker at a time switch its handset to the modem.

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <semaphore>

#include "fleet/images/slots.h"

namespace fleet {

// Set wakes one waiter (or the next one to wait) and resets itself.
class CAutoResetEvent {
  public:
    void Set();
    void Reset();
    // True when the event was set within the timeout (and is now reset again).
    bool Wait(std::chrono::milliseconds timeout);

  private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_bSet = false;
};

extern std::array<CAutoResetEvent, kSlotCount> g_phonePortEvents;
extern std::binary_semaphore g_switchLock;

}  // namespace fleet
