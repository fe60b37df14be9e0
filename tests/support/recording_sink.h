#pragma once
// A message sink built on the standard library only, so the receive-path tests
// also run under ThreadSanitizer without an uninstrumented event loop.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/window_message.h"

namespace testsupport {

class CRecordingSink : public platform::IMessageSink {
  public:
    void PostMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override;

    // Waits for the next posted message; false on timeout.
    bool WaitNext(platform::WindowMessage& msg, std::chrono::milliseconds timeout);
    // Delivers posted messages to the handler (on the calling thread) until
    // pred() holds or the timeout passes.
    bool PumpUntil(const std::function<void(const platform::WindowMessage&)>& handler,
                   const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    size_t Pending();
    size_t TotalPosted();

  private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<platform::WindowMessage> m_queue;
    size_t m_nTotal = 0;
};

}  // namespace testsupport
