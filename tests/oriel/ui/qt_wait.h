#pragma once
// Runs the Qt event loop the way the program's modal loop does (no sleeping
// between events, unlike QTest::qWaitFor) until a condition holds.

#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <functional>

namespace consoletest {

// True when pred held before nTimeoutMs passed.
inline bool RunEventsUntil(const std::function<bool()>& pred, int nTimeoutMs) {
    if (pred()) {
        return true;
    }
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (pred()) {
            loop.quit();
        }
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    deadline.start(nTimeoutMs);
    loop.exec();
    return pred();
}

// A picture of the widget once pending paints are done (README screenshots).
inline bool Shoot(QWidget& w, const QString& path) {
    QTest::qWait(200);
    if (!w.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

}  // namespace consoletest
