#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

// Handles events until `condition` holds or `timeoutMs` has passed; true when
// it holds. It blocks on the event queue instead of sleeping, so a loop of
// thousands of waits costs only the events themselves (QTRY_* polls every
// few milliseconds, too slow for soak loops).
template <typename Condition>
[[nodiscard]] bool waitUntil(Condition condition, int timeoutMs = 5000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents,
                                        int(qMin<qint64>(deadline.remainingTime(), 50)));
    }
    return true;
}
