#pragma once

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

class QSocketNotifier;

// The event dispatcher of the relay's thread on Linux. The relay makes many
// short passes of the event queue (two per serial chunk); Qt's UNIX
// dispatcher builds the whole poll set anew for each pass. This one keeps
// the set in the kernel (epoll): a pass that finds nothing waiting is one
// epoll_wait over the descriptors that are ready. Posted events, socket
// notifiers and timers are served as Qt's own dispatcher serves them:
// posted events first, then the ready notifiers, then the timers due.
//
// Installed by useRelayEventDispatcher() before the application object
// exists, for a run without a window; the window runs on WindowDispatcher,
// this one plus the window system's events. QUAYLIGHT_EVENT_DISPATCHER=unix
// keeps Qt's UNIX dispatcher (for comparing the two in one benchmark run).
class EpollDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT

public:
    explicit EpollDispatcher(QObject *parent = nullptr);
    ~EpollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

protected:
    // Whether the caller runs on the thread this dispatcher serves.
    [[nodiscard]] bool onOwnThread() const { return std::this_thread::get_id() == m_owner; }
    // The start of a pass: the events posted so far are sent.
    virtual void startPass(QEventLoop::ProcessEventsFlags flags);
    // The end of a pass, after the notifiers and timers: true when it
    // delivered anything.
    virtual bool finishPass(QEventLoop::ProcessEventsFlags flags);

private:
    using Clock = std::chrono::steady_clock;

    struct Watch {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        uint32_t inKernel = 0; // the events the epoll set has for it; 0: not in it
        bool changed = false;  // on m_changed
    };
    struct Timer {
        qint64 intervalMs;
        Qt::TimerType type;
        QObject *object;
        Clock::time_point due;
        bool active = false; // its event is being delivered
    };

    void updateWatch(int fd);
    // Hands the epoll set the changes of enabled notifiers since the last
    // wait: a notifier switched on and off again in between (a socket's
    // write notifier around a write the OS took at once) costs nothing.
    void applyChanges();
    // Milliseconds until the first timer is due: -1 when there is none.
    [[nodiscard]] int timerWait() const;
    // Delivers the timers due now, each once; true when any was.
    bool activateTimers();
    bool activateNotifiers(int count);
    void markPending(QSocketNotifier *notifier);
    void takeWakeUp();

    int m_epoll = -1;
    int m_wake = -1; // eventfd: wakeUp() from another thread
    const std::thread::id m_owner = std::this_thread::get_id();
    std::atomic<bool> m_interrupted {false};
    std::atomic<bool> m_wakePending {false}; // written to m_wake and not yet read
    std::atomic<bool> m_posted {false};      // wakeUp() since the last posted events were sent
    std::vector<QSocketNotifier *> m_pending; // ready, to be activated in this pass
    QHash<int, Watch> m_watches;
    std::vector<int> m_changed; // descriptors whose events changed since the last wait
    std::map<int, Timer> m_timers;
    static constexpr int MaxEvents = 64;
    struct epoll_event *m_events = nullptr;
};

// Installs EpollDispatcher for the main thread unless
// QUAYLIGHT_EVENT_DISPATCHER=unix. Call before the application object is
// made.
void useRelayEventDispatcher();
