#pragma once
// Posted window messages: the one way a worker thread wakes the UI thread.
// Posting never blocks and messages to one target arrive in posting order.

#include <cstdint>

namespace platform {

constexpr uint32_t WM_USER = 0x0400;

struct WindowMessage {
    uint32_t nMsg = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

class IMessageSink {
  public:
    virtual ~IMessageSink() = default;
    // Thread-safe; returns at once.
    virtual void PostMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) = 0;
};

}  // namespace platform
