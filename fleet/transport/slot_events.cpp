#include "fleet/transport/slot_events.h"

#include <algorithm>

#include "fleet/transport/stop_token.h"

namespace fleet {

std::array<CAutoResetEvent, kSlotCount> g_phonePortEvents;
std::binary_semaphore g_switchLock{1};

void CAutoResetEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bSet = true;
    }
    m_cv.notify_one();
}

void CAutoResetEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bSet = false;
}

bool CAutoResetEvent::Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_lock);
    // In slices, so that a stop asked of the waiting thread ends the wait.
    while (!m_bSet) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end || StopRequested()) {
            return false;
        }
        m_cv.wait_for(lock, StopWatched()
                                ? std::min<std::chrono::nanoseconds>(end - now, kStopSlice)
                                : end - now);
    }
    m_bSet = false;
    return true;
}

}  // namespace fleet
