#include "platform/qt_timer_service.h"

#include <QTimer>

namespace platform {

CQtTimerService::CQtTimerService(QObject* parent) : QObject(parent) {}

CQtTimerService::~CQtTimerService() = default;  // timers are children

void CQtTimerService::SetTimer(uint32_t nId, uint32_t nPeriodMs) {
    QTimer*& timer = m_timers[nId];
    if (timer == nullptr) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, nId] {
            if (m_fnHandler) {
                m_fnHandler(nId);
            }
        });
    }
    timer->start(static_cast<int>(nPeriodMs));
}

void CQtTimerService::KillTimer(uint32_t nId) {
    auto it = m_timers.find(nId);
    if (it != m_timers.end()) {
        it->second->stop();
    }
}

bool CQtTimerService::IsRunning(uint32_t nId) const {
    auto it = m_timers.find(nId);
    return it != m_timers.end() && it->second->isActive();
}

}  // namespace platform
