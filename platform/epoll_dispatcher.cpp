#include "platform/epoll_dispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QtDebug>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace {

// What a notifier of each type answers to, as Qt's UNIX dispatcher has it:
// a hang-up or an error wakes readers and writers, so that they see it.
constexpr uint32_t ReadEvents = EPOLLIN | EPOLLHUP | EPOLLERR;
constexpr uint32_t WriteEvents = EPOLLOUT | EPOLLHUP | EPOLLERR;
constexpr uint32_t ExceptionEvents = EPOLLPRI;

uint32_t eventsOf(const QSocketNotifier *read, const QSocketNotifier *write,
                  const QSocketNotifier *exception)
{
    return (read ? ReadEvents : 0) | (write ? WriteEvents : 0) | (exception ? ExceptionEvents : 0);
}

// Puts `fd` in the set with `events`, or changes what it has there: the
// first try is the one expected (`present`: the set has it), the other one
// follows when the kernel says otherwise. A descriptor number may come back
// for another file after a close the set never heard of.
void watchInKernel(int epoll, int fd, uint32_t events, bool present)
{
    epoll_event event {};
    event.events = events;
    event.data.fd = fd;
    const int first = present ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(epoll, first, fd, &event) == 0)
        return;
    const int missed = present ? ENOENT : EEXIST;
    if (errno == missed && ::epoll_ctl(epoll, present ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event) == 0)
        return;
    qWarning("EpollDispatcher: cannot watch descriptor %d: %s", fd, strerror(errno));
}

} // namespace

EpollDispatcher::EpollDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_events(new epoll_event[MaxEvents])
{
    if (m_epoll < 0 || m_wake < 0)
        qFatal("cannot make the event dispatcher's epoll set: %s", strerror(errno));
    epoll_event wake {};
    wake.events = EPOLLIN;
    wake.data.fd = m_wake;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &wake);
}

EpollDispatcher::~EpollDispatcher()
{
    ::close(m_wake);
    ::close(m_epoll);
    delete[] m_events;
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    Watch &watch = m_watches[fd];
    QSocketNotifier **slot = notifier->type() == QSocketNotifier::Read    ? &watch.read
                           : notifier->type() == QSocketNotifier::Write ? &watch.write
                                                                         : &watch.exception;
    if (*slot && *slot != notifier) {
        qWarning("EpollDispatcher: a second notifier of the same type for descriptor %d", fd);
        return;
    }
    *slot = notifier;
    updateWatch(fd);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    m_pending.erase(std::remove(m_pending.begin(), m_pending.end(), notifier), m_pending.end());
    const auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    for (QSocketNotifier **slot : {&it->read, &it->write, &it->exception}) {
        if (*slot == notifier)
            *slot = nullptr;
    }
    if (it->read || it->write || it->exception) {
        updateWatch(fd);
        return;
    }
    m_watches.erase(it);
    // At once, never later: Qt unregisters before it closes the descriptor,
    // and a copy of it left open elsewhere would keep a stale entry in the
    // set once its number is closed. When Qt closed it first, the kernel has
    // dropped it already.
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

void EpollDispatcher::updateWatch(int fd)
{
    Watch &watch = m_watches[fd];
    const uint32_t events = eventsOf(watch.read, watch.write, watch.exception);
    if (watch.inKernel == 0) {
        // New to the set (a notifier switched off leaves it at once): added
        // at once, so the next wait sees it however it comes.
        watchInKernel(m_epoll, fd, events, false);
        watch.inKernel = events;
        return;
    }
    // Only what the set waits for changes, and only waits look at it.
    if (!watch.changed) {
        watch.changed = true;
        m_changed.push_back(fd);
    }
}

void EpollDispatcher::applyChanges()
{
    for (int fd : m_changed) {
        const auto it = m_watches.find(fd);
        if (it == m_watches.end() || !it->changed)
            continue; // gone meanwhile: taken out of the set then
        it->changed = false;
        const uint32_t events = eventsOf(it->read, it->write, it->exception);
        if (events != it->inKernel) {
            watchInKernel(m_epoll, fd, events, true);
            it->inKernel = events;
        }
    }
    m_changed.clear();
}

void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                    QObject *object)
{
    // A very coarse timer runs on whole seconds, as Qt's own do.
    if (timerType == Qt::VeryCoarseTimer)
        interval = std::max<qint64>(1000, (interval + 500) / 1000 * 1000);
    m_timers[timerId] = {interval, timerType, object, Clock::now() + std::chrono::milliseconds(interval)};
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    return m_timers.erase(timerId) > 0;
}

bool EpollDispatcher::unregisterTimers(QObject *object)
{
    bool any = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->second.object == object) {
            it = m_timers.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> timers;
    for (const auto &[id, timer] : m_timers) {
        if (timer.object == object)
            timers.append(TimerInfo(id, int(timer.intervalMs), timer.type));
    }
    return timers;
}

int EpollDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(it->second.due - Clock::now());
    return int(std::max<qint64>(0, left.count()));
}

int EpollDispatcher::timerWait() const
{
    if (m_timers.empty())
        return -1;
    Clock::time_point first = Clock::time_point::max();
    for (const auto &[id, timer] : m_timers) {
        if (!timer.active)
            first = std::min(first, timer.due);
    }
    if (first == Clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now());
    return int(std::clamp<qint64>(left.count(), 0, INT_MAX));
}

bool EpollDispatcher::activateTimers()
{
    if (m_timers.empty())
        return false;
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<Clock::time_point, int>> due;
    for (const auto &[id, timer] : m_timers) {
        if (!timer.active && timer.due <= now)
            due.emplace_back(timer.due, id);
    }
    std::sort(due.begin(), due.end());
    for (const auto &[when, id] : due) {
        // An earlier timer's handler may have stopped this one.
        auto it = m_timers.find(id);
        if (it == m_timers.end() || it->second.active)
            continue;
        Timer &timer = it->second;
        timer.due += std::chrono::milliseconds(timer.intervalMs);
        if (timer.due <= now) // it fell behind: the next one a full interval on
            timer.due = now + std::chrono::milliseconds(timer.intervalMs);
        timer.active = true;
        QObject *object = timer.object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        if (auto again = m_timers.find(id); again != m_timers.end() && again->second.object == object)
            again->second.active = false;
    }
    return !due.empty();
}

void EpollDispatcher::takeWakeUp()
{
    // Cleared before the read: a wakeUp() from another thread in between
    // writes again instead of being swallowed with this one. What it
    // announces is sent at the start of the next pass, before any wait.
    m_wakePending.store(false);
    quint64 value = 0;
    (void)::read(m_wake, &value, sizeof value);
}

void EpollDispatcher::markPending(QSocketNotifier *notifier)
{
    if (std::find(m_pending.begin(), m_pending.end(), notifier) == m_pending.end())
        m_pending.push_back(notifier);
}

bool EpollDispatcher::activateNotifiers(int count)
{
    for (int i = 0; i < count; ++i) {
        const int fd = m_events[i].data.fd;
        const uint32_t events = m_events[i].events;
        if (fd == m_wake) {
            takeWakeUp();
            continue;
        }
        const Watch watch = m_watches.value(fd);
        if (watch.read && (events & ReadEvents))
            markPending(watch.read);
        if (watch.write && (events & WriteEvents))
            markPending(watch.write);
        if (watch.exception && (events & ExceptionEvents))
            markPending(watch.exception);
    }
    // A handler may disable or delete any notifier, this one's neighbours
    // too; unregistering takes it off this list. A pass nested in a handler
    // serves the list from where it is: each notifier once, however many
    // passes saw it ready (a second read of a port already read finds
    // nothing, which a serial port takes for an error).
    bool any = false;
    while (!m_pending.empty()) {
        QSocketNotifier *notifier = m_pending.front();
        m_pending.erase(m_pending.begin());
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        any = true;
    }
    return any;
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted.store(false);
    emit awake();
    // Qt calls wakeUp() for every event it posts: a pass that has events to
    // send does not wait afterwards (their handlers may be what the caller
    // waits for), as Qt's own dispatcher does not.
    const bool hadPosted = m_posted.exchange(false);
    startPass(flags);

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    // An event posted from another thread from here on writes the wake
    // descriptor, so waiting cannot miss it; one posted by this thread (a
    // handler of aboutToBlock) is seen before the wait.
    const bool wait = (flags & QEventLoop::WaitForMoreEvents) && !hadPosted && !m_interrupted.load();
    int timeout = 0;
    if (wait) {
        timeout = includeTimers ? timerWait() : -1;
        emit aboutToBlock();
        if (m_posted.load() || m_interrupted.load())
            timeout = 0;
    }
    applyChanges();
    int count = ::epoll_wait(m_epoll, m_events, MaxEvents, timeout);
    if (count < 0)
        count = 0; // EINTR: a signal; its handler's notifier reports it
    if (wait)
        emit awake();

    bool any = false;
    if (includeNotifiers) {
        any = activateNotifiers(count);
    } else {
        // The wake-up is taken all the same; the notifiers stay ready and
        // come back in a pass that includes them.
        for (int i = 0; i < count; ++i) {
            if (m_events[i].data.fd == m_wake)
                takeWakeUp();
        }
    }
    if (includeTimers)
        any = activateTimers() || any;
    return finishPass(flags) || any;
}

void EpollDispatcher::startPass(QEventLoop::ProcessEventsFlags)
{
    QCoreApplication::sendPostedEvents();
}

bool EpollDispatcher::finishPass(QEventLoop::ProcessEventsFlags)
{
    return false;
}

void EpollDispatcher::wakeUp()
{
    m_posted.store(true);
    // This thread never waits while it posts: the next pass sees the flag
    // and does not wait, which costs no system call (a write and a read of
    // the wake descriptor per posted event otherwise).
    if (onOwnThread())
        return;
    // One write per wake-up however many events are posted before it is seen.
    if (m_wakePending.exchange(true))
        return;
    const quint64 one = 1;
    (void)::write(m_wake, &one, sizeof one);
}

void EpollDispatcher::interrupt()
{
    m_interrupted.store(true);
    wakeUp();
}

void useRelayEventDispatcher()
{
    if (qEnvironmentVariable("QUAYLIGHT_EVENT_DISPATCHER") == QLatin1String("unix"))
        return;
    QCoreApplication::setEventDispatcher(new EpollDispatcher);
}
