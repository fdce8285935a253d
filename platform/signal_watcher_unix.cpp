#include "platform/signal_watcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// The write end of the one watcher's pipe. A signal handler can reach
// nothing but process-wide state: hence this one global, and one watcher.
std::atomic<int> g_writeEnd {-1};

void onSignal(int signo)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signo);
    const int fd = g_writeEnd.load();
    if (fd >= 0)
        [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1); // full pipe: dropped
    errno = savedErrno;
}

} // namespace

struct SignalWatcher::Os {
    int pipe[2] = {-1, -1};
    QList<std::pair<int, struct sigaction>> previous;
    sigset_t previousMask {};
    QSocketNotifier *notifier = nullptr;
};

namespace {
sigset_t setOf(const QList<int> &signalNumbers)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signo : signalNumbers)
        sigaddset(&set, signo);
    return set;
}
} // namespace

void SignalWatcher::hold(const QList<int> &signalNumbers)
{
    const sigset_t set = setOf(signalNumbers);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatcher::SignalWatcher(const QList<int> &signalNumbers, QObject *parent)
    : QObject(parent), m_os(std::make_unique<Os>())
{
    if (::pipe2(m_os->pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("SignalWatcher: no pipe (errno %d)", errno);
    int expected = -1;
    const bool first = g_writeEnd.compare_exchange_strong(expected, m_os->pipe[1]);
    Q_ASSERT_X(first, "SignalWatcher", "only one SignalWatcher may exist at a time");
    Q_UNUSED(first);

    m_os->notifier = new QSocketNotifier(m_os->pipe[0], QSocketNotifier::Read, this);
    connect(m_os->notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char numbers[64];
        ssize_t n = 0;
        while ((n = ::read(m_os->pipe[0], numbers, sizeof numbers)) > 0) {
            for (ssize_t i = 0; i < n; ++i)
                emit signalled(numbers[i]);
        }
    });

    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : signalNumbers) {
        struct sigaction old {};
        if (::sigaction(signo, &action, &old) == 0)
            m_os->previous.append({signo, old});
    }
    // Last: one held back until now reaches the handler above at once.
    const sigset_t set = setOf(signalNumbers);
    ::pthread_sigmask(SIG_UNBLOCK, &set, &m_os->previousMask);
}

SignalWatcher::~SignalWatcher()
{
    // Held back before the dispositions go: one that comes now waits.
    ::pthread_sigmask(SIG_SETMASK, &m_os->previousMask, nullptr);
    for (auto it = m_os->previous.crbegin(); it != m_os->previous.crend(); ++it)
        ::sigaction(it->first, &it->second, nullptr);
    int mine = m_os->pipe[1];
    g_writeEnd.compare_exchange_strong(mine, -1);
    delete m_os->notifier; // before its descriptor goes
    ::close(m_os->pipe[0]);
    ::close(m_os->pipe[1]);
}
