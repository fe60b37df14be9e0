#include "fleet/transport/stop_token.h"

#include <algorithm>
#include <thread>

namespace fleet {

namespace {

thread_local const std::atomic<bool>* t_pStop = nullptr;

}  // namespace

CStopScope::CStopScope(const std::atomic<bool>* pFlag) : m_pPrevious(t_pStop) {
    t_pStop = pFlag;
}

CStopScope::~CStopScope() {
    t_pStop = m_pPrevious;
}

bool StopRequested() {
    return t_pStop != nullptr && t_pStop->load();
}

bool StopWatched() {
    return t_pStop != nullptr;
}

bool StoppableSleep(std::chrono::nanoseconds d) {
    if (t_pStop == nullptr) {
        std::this_thread::sleep_for(d);
        return true;
    }
    const auto end = std::chrono::steady_clock::now() + d;
    for (;;) {
        if (t_pStop->load()) {
            return false;
        }
        const auto left = end - std::chrono::steady_clock::now();
        if (left.count() <= 0) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::nanoseconds>(left, std::chrono::nanoseconds(kStopSlice)));
    }
}

}  // namespace fleet
