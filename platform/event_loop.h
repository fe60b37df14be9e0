#pragma once
// A message loop on the standard library alone: posted window messages and
// window timers, delivered on the thread that runs the loop. The command-line
// front ends run on it, and so do the tests (ThreadSanitizer sees through it,
// which it cannot do for Qt's event loop).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "platform/timer_service.h"
#include "platform/window_message.h"

namespace platform {

class CStdEventLoop : public IMessageSink, public ITimerService {
  public:
    using MessageHandler = std::function<void(const WindowMessage&)>;

    void SetMessageHandler(MessageHandler handler) { m_fnMessage = std::move(handler); }

    // Any thread.
    void PostMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override;
    // Ends RunUntil early, this and every later run (any thread, e.g. a
    // signal-watching one).
    void Quit();

    // Loop thread only.
    void SetHandler(Handler handler) override { m_fnTimer = std::move(handler); }
    void SetTimer(uint32_t nId, uint32_t nPeriodMs) override;
    void KillTimer(uint32_t nId) override;
    bool IsRunning(uint32_t nId) const override;

    // Delivers messages and timers until pred() holds (checked after each
    // event), Quit() is called or the timeout passes. True when pred() held.
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

    size_t TotalPosted() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::time_point due;
        std::chrono::milliseconds period;
    };
    bool FireDueTimer();

    MessageHandler m_fnMessage;
    Handler m_fnTimer;
    std::map<uint32_t, Timer> m_timers;

    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<WindowMessage> m_queue;
    size_t m_nTotal = 0;
    bool m_bQuit = false;
};

}  // namespace platform
