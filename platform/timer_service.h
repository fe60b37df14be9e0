#pragma once
// Window timers with SetTimer/KillTimer semantics: a timer has an id and a
// period, fires repeatedly on the owner's thread until killed, and setting an
// id that is already running restarts it with the new period.

#include <cstdint>
#include <functional>
#include <map>

namespace platform {

class ITimerService {
  public:
    using Handler = std::function<void(uint32_t nId)>;
    virtual ~ITimerService() = default;
    virtual void SetHandler(Handler handler) = 0;
    virtual void SetTimer(uint32_t nId, uint32_t nPeriodMs) = 0;
    virtual void KillTimer(uint32_t nId) = 0;
    virtual bool IsRunning(uint32_t nId) const = 0;
};

// Timers that fire only when told to; for tests that step time by hand.
class CManualTimerService : public ITimerService {
  public:
    void SetHandler(Handler handler) override { m_fnHandler = std::move(handler); }
    void SetTimer(uint32_t nId, uint32_t nPeriodMs) override { m_periods[nId] = nPeriodMs; }
    void KillTimer(uint32_t nId) override { m_periods.erase(nId); }
    bool IsRunning(uint32_t nId) const override { return m_periods.count(nId) != 0; }
    uint32_t Period(uint32_t nId) const {
        auto it = m_periods.find(nId);
        return it == m_periods.end() ? 0 : it->second;
    }
    // Fires a running timer once; returns false when it is not running.
    bool Fire(uint32_t nId) {
        if (!IsRunning(nId)) {
            return false;
        }
        if (m_fnHandler) {
            m_fnHandler(nId);
        }
        return true;
    }

  private:
    Handler m_fnHandler;
    std::map<uint32_t, uint32_t> m_periods;
};

}  // namespace platform
