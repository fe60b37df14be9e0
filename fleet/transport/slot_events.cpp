#include "fleet/transport/slot_events.h"

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
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_cv.wait_for(lock, timeout, [this] { return m_bSet; })) {
        return false;
    }
    m_bSet = false;
    return true;
}

}  // namespace fleet
