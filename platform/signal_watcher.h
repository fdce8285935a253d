#pragma once

#include <QList>
#include <QObject>

#include <memory>

// Turns POSIX signals (SIGINT, SIGTERM, SIGHUP, SIGUSR1, ...) into a Qt
// signal on the thread that made the watcher. The handlers it installs (with
// SA_RESTART) only write the signal number to a pipe; the rest happens in
// the event loop. The destructor restores the dispositions and the signal
// mask found at construction and closes the pipe.
//
// Only one SignalWatcher may exist at a time in a process: a signal handler
// reaches its pipe through one process-wide descriptor (asserted).
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(const QList<int> &signalNumbers, QObject *parent = nullptr);
    ~SignalWatcher() override;

    // Holds these signals back from the calling thread (and the threads it
    // starts) until a watcher for them exists: one that comes before, while
    // the program is still starting, waits for it instead of ending the
    // process. A watcher lets its signals in; its destructor holds them
    // back again. Call first thing in main().
    static void hold(const QList<int> &signalNumbers);

    SignalWatcher(const SignalWatcher &) = delete;
    SignalWatcher &operator=(const SignalWatcher &) = delete;

signals:
    // One of the watched signals arrived (once per delivery the pipe held).
    void signalled(int signo);

private:
    struct Os;
    std::unique_ptr<Os> m_os;
};
