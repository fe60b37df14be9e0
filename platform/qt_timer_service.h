#pragma once

#include <QObject>
#include <map>
#include <memory>

#include "platform/timer_service.h"

class QTimer;

namespace platform {

// Timers on the Qt event loop of the thread that owns this object.
class CQtTimerService : public QObject, public ITimerService {
  public:
    explicit CQtTimerService(QObject* parent = nullptr);
    ~CQtTimerService() override;

    void SetHandler(Handler handler) override { m_fnHandler = std::move(handler); }
    void SetTimer(uint32_t nId, uint32_t nPeriodMs) override;
    void KillTimer(uint32_t nId) override;
    bool IsRunning(uint32_t nId) const override;

  private:
    Handler m_fnHandler;
    std::map<uint32_t, QTimer*> m_timers;
};

}  // namespace platform
