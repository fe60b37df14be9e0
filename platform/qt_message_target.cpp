#include "platform/qt_message_target.h"

#include <QCoreApplication>
#include <QEvent>

namespace platform {

namespace {

const QEvent::Type kWindowMessageEvent =
    static_cast<QEvent::Type>(QEvent::registerEventType(QEvent::User + 0x401));

class WindowMessageEvent : public QEvent {
  public:
    explicit WindowMessageEvent(const WindowMessage& msg)
        : QEvent(kWindowMessageEvent), m_msg(msg) {}
    WindowMessage m_msg;
};

}  // namespace

CQtMessageTarget::CQtMessageTarget(QObject* parent) : QObject(parent) {}

CQtMessageTarget::~CQtMessageTarget() {
    QCoreApplication::removePostedEvents(this);
}

void CQtMessageTarget::PostMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    QCoreApplication::postEvent(this, new WindowMessageEvent({nMsg, wParam, lParam}));
}

bool CQtMessageTarget::event(QEvent* e) {
    if (e->type() == kWindowMessageEvent) {
        if (m_fnHandler) {
            m_fnHandler(static_cast<WindowMessageEvent*>(e)->m_msg);
        }
        return true;
    }
    return QObject::event(e);
}

}  // namespace platform
