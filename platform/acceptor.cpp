#include "platform/acceptor.h"

#include "platform/log_categories.h"
#include "platform/winsock_os.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

Acceptor::Acceptor(QTcpServer &server, QString what, Take take, Full full)
    : QObject(&server), m_server(server), m_what(std::move(what)), m_take(std::move(take)),
      m_full(std::move(full)),
      m_retry(new QTimer(this)), m_calm(new QTimer(this))
{
    setObjectName(QStringLiteral("Acceptor"));
    // Qt's notifier off before ours watches the same descriptor.
    server.pauseAccepting();
    m_notifier = new QSocketNotifier(server.socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Acceptor::acceptWaiting);
    m_retry->setSingleShot(true);
    m_retry->setInterval(RetryMs);
    connect(m_retry, &QTimer::timeout, this, &Acceptor::resumeNow);
    m_calm->setSingleShot(true);
    m_calm->setInterval(CalmMs);
    connect(m_calm, &QTimer::timeout, this, &Acceptor::onCalm);
}

Acceptor *Acceptor::of(const QTcpServer &server)
{
    return server.findChild<Acceptor *>(QStringLiteral("Acceptor"), Qt::FindDirectChildrenOnly);
}

QTcpSocket *Acceptor::takePending(const std::function<QTcpSocket *()> &take)
{
    // One read notifier per descriptor: ours steps aside while Qt's is on.
    m_notifier->setEnabled(false);
    QTcpSocket *socket = take();
    m_server.pauseAccepting();
    resumeNow();
    return socket;
}

void Acceptor::resumeNow()
{
    m_retry->stop();
    m_notifier->setEnabled(true);
    // The notifier reports only what arrives from now on in some
    // dispatchers; what already waits is taken at the next pass.
    QMetaObject::invokeMethod(this, &Acceptor::acceptWaiting, Qt::QueuedConnection);
}

void Acceptor::acceptWaiting()
{
    if (!m_notifier->isEnabled())
        return;
    for (;;) {
        if (m_full && m_full()) {
            // Looked at again shortly, or when a waiting one is taken.
            m_notifier->setEnabled(false);
            m_retry->start();
            return;
        }
        int error = 0;
        const qintptr descriptor = winsock_os::acceptOne(m_server.socketDescriptor(), &error);
        if (descriptor >= 0) {
            if (m_failing && !m_calm->isActive())
                m_calm->start();
            m_take(descriptor);
            continue;
        }
        if (error == 0)
            return; // nothing waits now
        failed(error);
        return;
    }
}

void Acceptor::failed(int error)
{
    // The connection stays in the kernel's queue; the notifier would
    // report it again at once.
    m_notifier->setEnabled(false);
    m_retry->start();
    m_calm->stop();
    const bool shortage = winsock_os::isShortage(error);
    if (!std::exchange(m_failing, true))
        qCWarning(lcNet, "%s: cannot accept connections on port %u: %s; trying again every %d ms",
                  qUtf8Printable(m_what), unsigned(m_server.serverPort()),
                  qUtf8Printable(winsock_os::describeError(error)), RetryMs);
    if (shortage)
        emit descriptorsExhausted();
}

void Acceptor::onCalm()
{
    m_failing = false;
    qCInfo(lcNet, "%s: accepting connections on port %u again", qUtf8Printable(m_what),
           unsigned(m_server.serverPort()));
}

quint64 Acceptor::raiseDescriptorLimit()
{
    return winsock_os::raiseDescriptorLimit();
}

bool Acceptor::inReserve(qintptr descriptor)
{
    const quint64 limit = winsock_os::descriptorLimit();
    if (limit == 0)
        return false;
    const quint64 reserve = qMin<quint64>(ReserveMax, limit / 4);
    return quint64(descriptor) + reserve >= limit;
}
