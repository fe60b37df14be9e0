#pragma once
// A window-message target on a Qt event loop. Messages are QEvents posted to
// this object, so they are delivered on the thread the object lives in, in
// FIFO order, and posting is safe from any thread.

#include <QObject>
#include <functional>

#include "platform/window_message.h"

namespace platform {

class CQtMessageTarget : public QObject, public IMessageSink {
  public:
    using Handler = std::function<void(const WindowMessage&)>;

    explicit CQtMessageTarget(QObject* parent = nullptr);
    ~CQtMessageTarget() override;

    // Set on the owning thread before anything can post.
    void SetHandler(Handler handler) { m_fnHandler = std::move(handler); }

    void PostMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override;

  protected:
    bool event(QEvent* e) override;

  private:
    Handler m_fnHandler;
};

}  // namespace platform
