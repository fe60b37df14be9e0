#include "tests/support/recording_sink.h"

namespace testsupport {

void CRecordingSink::PostMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back({nMsg, wParam, lParam});
        ++m_nTotal;
    }
    m_cv.notify_all();
}

bool CRecordingSink::WaitNext(platform::WindowMessage& msg, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_cv.wait_for(lock, timeout, [this] { return !m_queue.empty(); })) {
        return false;
    }
    msg = m_queue.front();
    m_queue.pop_front();
    return true;
}

bool CRecordingSink::PumpUntil(const std::function<void(const platform::WindowMessage&)>& handler,
                               const std::function<bool()>& pred,
                               std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        platform::WindowMessage msg;
        if (WaitNext(msg, std::min(left, std::chrono::milliseconds(50)))) {
            handler(msg);
        }
    }
    return true;
}

size_t CRecordingSink::Pending() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_queue.size();
}

size_t CRecordingSink::TotalPosted() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nTotal;
}

}  // namespace testsupport
