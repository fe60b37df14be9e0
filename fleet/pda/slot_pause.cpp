#include "fleet/pda/slot_pause.h"

#include <array>
#include <atomic>

#include "fleet/images/slots.h"
#include "fleet/transport/stop_token.h"

namespace fleet {

namespace {

std::atomic<double> g_dPauseScale{1.0};
std::array<std::atomic<int64_t>, kSlotCount> g_pausedNs{};
thread_local int t_nPauseSlot = -1;

}  // namespace

void SetPauseScale(double dScale) {
    g_dPauseScale = dScale > 0 ? dScale : 0.0;
}

double PauseScale() {
    return g_dPauseScale.load();
}

std::chrono::nanoseconds ScaledPause(std::chrono::milliseconds d) {
    const double ns = static_cast<double>(std::chrono::nanoseconds(d).count()) * PauseScale();
    return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

void AddSlotPausedTime(std::chrono::nanoseconds d) {
    if (t_nPauseSlot >= 0 && t_nPauseSlot < kSlotCount) {
        g_pausedNs[static_cast<size_t>(t_nPauseSlot)] += d.count();
    }
}

void SlotPause(std::chrono::milliseconds d) {
    const std::chrono::nanoseconds scaled = ScaledPause(d);
    if (scaled.count() <= 0) {
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    StoppableSleep(scaled);
    AddSlotPausedTime(std::chrono::steady_clock::now() - started);
}

CSlotPauseScope::CSlotPauseScope(int nSlot) : m_nPrevious(t_nPauseSlot) {
    t_nPauseSlot = nSlot;
}

CSlotPauseScope::~CSlotPauseScope() {
    t_nPauseSlot = m_nPrevious;
}

std::chrono::nanoseconds SlotPausedTime(int nSlot) {
    if (nSlot < 0 || nSlot >= kSlotCount) {
        return {};
    }
    return std::chrono::nanoseconds(g_pausedNs[static_cast<size_t>(nSlot)].load());
}

void ResetSlotPausedTime(int nSlot) {
    if (nSlot >= 0 && nSlot < kSlotCount) {
        g_pausedNs[static_cast<size_t>(nSlot)] = 0;
    }
}

}  // namespace fleet
