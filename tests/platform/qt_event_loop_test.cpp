// Posted messages and timers on a real Qt event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <thread>
#include <vector>

#include "platform/qt_message_target.h"
#include "platform/qt_timer_service.h"

namespace {

void PumpFor(int ms, const std::function<bool()>& done = {}) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms && !(done && done())) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

TEST(QtMessageTarget, MessagesFromManyThreadsArriveInPostingOrderPerThread) {
    platform::CQtMessageTarget target;
    std::vector<platform::WindowMessage> got;
    const auto mainThread = std::this_thread::get_id();
    bool bOnMainThread = true;
    target.SetHandler([&](const platform::WindowMessage& m) {
        bOnMainThread = bOnMainThread && std::this_thread::get_id() == mainThread;
        got.push_back(m);
    });
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                target.PostMessage(0x0401, static_cast<uintptr_t>(t), i);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    PumpFor(5000, [&] { return got.size() == kThreads * kEach; });
    ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_TRUE(bOnMainThread);
    std::vector<intptr_t> last(kThreads, -1);
    for (const auto& m : got) {
        EXPECT_EQ(m.nMsg, 0x0401u);
        EXPECT_EQ(m.lParam, last[m.wParam] + 1) << "thread " << m.wParam;
        last[m.wParam] = m.lParam;
    }
}

TEST(QtMessageTarget, DestroyedTargetDropsItsPendingMessages) {
    int calls = 0;
    {
        platform::CQtMessageTarget target;
        target.SetHandler([&](const platform::WindowMessage&) { ++calls; });
        target.PostMessage(1, 0, 0);
    }
    PumpFor(50);
    EXPECT_EQ(calls, 0);
}

TEST(QtTimerService, FiresRepeatedlyUntilKilled) {
    platform::CQtTimerService timers;
    int fired = 0;
    timers.SetHandler([&](uint32_t id) {
        EXPECT_EQ(id, 1u);
        ++fired;
    });
    timers.SetTimer(1, 20);
    EXPECT_TRUE(timers.IsRunning(1));
    PumpFor(2000, [&] { return fired >= 3; });
    EXPECT_GE(fired, 3);
    timers.KillTimer(1);
    EXPECT_FALSE(timers.IsRunning(1));
    const int atKill = fired;
    PumpFor(100);
    EXPECT_EQ(fired, atKill);
}

TEST(QtTimerService, SettingARunningIdRestartsItAndKillInsideTheHandlerHolds) {
    platform::CQtTimerService timers;
    int fired = 0;
    timers.SetHandler([&](uint32_t id) {
        ++fired;
        timers.KillTimer(id);  // one-shot use, as the rate-change re-open does
    });
    timers.SetTimer(1, 500);
    timers.SetTimer(1, 10);  // replaces the 500 ms period
    PumpFor(300);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timers.IsRunning(1));
}

}  // namespace
