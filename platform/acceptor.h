#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QTimer;

// Takes a listener's connections from the kernel in place of QTcpServer,
// which cannot be trusted once descriptors run out: its engine keeps the
// first error it ever saw, so after one ordinary "nothing waiting" an
// EMFILE reads as temporary and it spins on the accept; while with EMFILE
// first it pauses and never resumes, the peers left in the kernel's queue.
// Here a failed accept is logged once per episode with the system's
// reason, and accepting resumes after RetryMs, again and again until it
// works, or at once on resumeNow() (a descriptor of the server's came
// free). Lives as a child of the server, from just after its listen().
class Acceptor : public QObject
{
    Q_OBJECT

public:
    static constexpr int RetryMs = 100;
    // Accepting without a failure this long ends an episode.
    static constexpr int CalmMs = 1000;

    // Hands an accepted descriptor to the server (its incomingConnection).
    using Take = std::function<void(qintptr descriptor)>;
    // True while the server holds as many waiting connections as it
    // should; the rest wait in the kernel. Empty: never.
    using Full = std::function<bool()>;

    // `what` names the listener in the log ("listener", "metrics").
    // `server` must be listening; its own accepting stops for good.
    Acceptor(QTcpServer &server, QString what, Take take, Full full = {});

    // Room came free (a descriptor closed, a waiting connection was
    // taken): accept now rather than at the next retry.
    void resumeNow();

    // Runs `take` (QTcpServer::nextPendingConnection, which switches Qt's
    // own accepting back on) and switches Qt's off again, without the two
    // watching the listener at once; room came free, so accepting resumes.
    QTcpSocket *takePending(const std::function<QTcpSocket *()> &take);

    // The acceptor of `server`, nullptr when it has none.
    [[nodiscard]] static Acceptor *of(const QTcpServer &server);

    // Raises this process's soft limit on open descriptors to its hard
    // limit; returns the limit in effect afterwards (0 when unknown).
    static quint64 raiseDescriptorLimit();

    // Descriptors kept for the relay's own listeners, peers and device:
    // a quarter of the limit, at most ReserveMax. A newly accepted
    // `descriptor` at or above the limit less that many means the rest
    // of the table is taken (the system hands out the lowest free number),
    // and a connection that is not the relay's should give it back.
    static constexpr int ReserveMax = 160;
    [[nodiscard]] static bool inReserve(qintptr descriptor);

signals:
    // An accept failed for want of descriptors (at each failed try).
    void descriptorsExhausted();

private:
    void acceptWaiting();
    void failed(int error);
    void onCalm();

    QTcpServer &m_server;
    QString m_what;
    Take m_take;
    Full m_full;
    QSocketNotifier *m_notifier;
    QTimer *m_retry;
    QTimer *m_calm;
    bool m_failing = false;
};
