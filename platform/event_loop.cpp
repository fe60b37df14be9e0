#include "platform/event_loop.h"

namespace platform {

void CStdEventLoop::PostMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back({nMsg, wParam, lParam});
        ++m_nTotal;
    }
    m_cv.notify_all();
}

void CStdEventLoop::Quit() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bQuit = true;
    }
    m_cv.notify_all();
}

size_t CStdEventLoop::TotalPosted() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nTotal;
}

void CStdEventLoop::SetTimer(uint32_t nId, uint32_t nPeriodMs) {
    const std::chrono::milliseconds period(nPeriodMs);
    m_timers[nId] = {Clock::now() + period, period};
}

void CStdEventLoop::KillTimer(uint32_t nId) {
    m_timers.erase(nId);
}

bool CStdEventLoop::IsRunning(uint32_t nId) const {
    return m_timers.count(nId) != 0;
}

bool CStdEventLoop::FireDueTimer() {
    const auto now = Clock::now();
    for (auto& [nId, timer] : m_timers) {
        if (timer.due <= now) {
            // Periodic until killed, like a window timer; the handler may kill
            // or re-set it (which invalidates the iterator, so return at once).
            timer.due = now + timer.period;
            const uint32_t id = nId;
            if (m_fnTimer) {
                m_fnTimer(id);
            }
            return true;
        }
    }
    return false;
}

bool CStdEventLoop::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (FireDueTimer()) {
            continue;
        }
        auto wakeAt = deadline;
        for (const auto& [nId, timer] : m_timers) {
            if (timer.due < wakeAt) {
                wakeAt = timer.due;
            }
        }
        WindowMessage msg{};
        bool bHave = false;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_cv.wait_until(lock, wakeAt, [this] { return !m_queue.empty() || m_bQuit; });
            if (m_bQuit) {
                return pred();
            }
            if (!m_queue.empty()) {
                msg = m_queue.front();
                m_queue.pop_front();
                bHave = true;
            }
        }
        if (bHave && m_fnMessage) {
            m_fnMessage(msg);
        }
        if (!bHave && Clock::now() >= deadline) {
            return pred();
        }
    }
    return true;
}

}  // namespace platform
