#include "platform/tls_listener.h"

#include "platform/winsock_os.h"

#include <QPointer>

#include <memory>
#include <QSslCipher>
#include <QSslSocket>
#include <QStringList>

TlsListener::TlsListener(const QSslConfiguration &configuration, Filter filter, QObject *parent)
    : QSslServer(parent), m_filter(std::move(filter))
{
    setSslConfiguration(configuration);
    setHandshakeTimeout(HandshakeTimeoutMs);
    setMaxPendingConnections(MaxHandshakes);
}

void TlsListener::incomingConnection(qintptr descriptor)
{
    QHostAddress peer;
    quint16 port = 0;
    const bool known = winsock_os::peerOf(descriptor, &peer, &port);
    if (!known || (m_filter && !m_filter(peer))) {
        winsock_os::closeDescriptor(descriptor);
        if (known)
            emit refused(peer, port);
        return;
    }
    QSslServer::incomingConnection(descriptor);
    // Qt made the socket a child of ours; watched from here on, so that a
    // peer dropped before its handshake even started is logged too.
    const auto sockets = findChildren<QSslSocket *>(Qt::FindDirectChildrenOnly);
    for (QSslSocket *socket : sockets) {
        if (socket->socketDescriptor() == descriptor) {
            watchHandshake(socket);
            break;
        }
    }
}

void TlsListener::watchHandshake(QSslSocket *socket)
{
    const QHostAddress peer = socket->peerAddress();
    const quint16 port = socket->peerPort();
    // Qt starts the handshake only once the first bytes look like one.
    auto started = std::make_shared<bool>(false);
    connect(this, &QSslServer::startedEncryptionHandshake, socket,
            [socket, started](QSslSocket *which) { *started = *started || which == socket; });
    // The first reason given is the one that ended it; the socket's later
    // errors only follow from it.
    auto reason = std::make_shared<QString>();
    connect(socket, &QSslSocket::sslErrors, this, [reason](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &error : errors)
            texts.append(error.errorString());
        if (reason->isEmpty())
            *reason = texts.join(QStringLiteral("; "));
    });
    // With a client CA, verification stops at the first fault so that
    // OpenSSL ends the handshake with the alert that names it (unknown CA,
    // bad certificate); it is not continued.
    connect(socket, &QSslSocket::handshakeInterruptedOnError, this, [reason](const QSslError &error) {
        if (reason->isEmpty())
            *reason = error.errorString();
    });
    connect(socket, &QSslSocket::alertSent, this,
            [reason](QSsl::AlertLevel level, QSsl::AlertType, const QString &description) {
                if (level == QSsl::AlertLevel::Fatal && reason->isEmpty())
                    *reason = QStringLiteral("sent the alert \"%1\"").arg(description);
            });
    auto encrypted = std::make_shared<bool>(false);
    connect(socket, &QSslSocket::encrypted, this, [encrypted] { *encrypted = true; });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [socket, reason, encrypted](QAbstractSocket::SocketError error) {
                if (*encrypted)
                    return;
                if (reason->isEmpty())
                    *reason = error == QAbstractSocket::RemoteHostClosedError
                        ? QStringLiteral("the peer closed before the handshake completed")
                        : socket->errorString();
                // Qt leaves a connection whose handshake broke (a plain
                // client, say) open until the timeout: end it now.
                if (socket->state() != QAbstractSocket::UnconnectedState)
                    QMetaObject::invokeMethod(socket, &QAbstractSocket::abort, Qt::QueuedConnection);
            });
    // The listener deletes a socket whose handshake failed or timed out;
    // one that completed belongs to the endpoint from then on.
    connect(socket, &QObject::destroyed, this, [this, peer, port, reason, encrypted, started] {
        if (*encrypted)
            return;
        if (reason->isEmpty())
            *reason = *started ? QStringLiteral("the handshake did not complete in %1 s")
                                     .arg(HandshakeTimeoutMs / 1000)
                               : QStringLiteral("no TLS handshake came (plain TCP, or silence)");
        emit handshakeFailed(peer, port, *reason);
    });
}

namespace Tls {

namespace {

QString protocolName(QSsl::SslProtocol protocol)
{
    switch (protocol) {
    case QSsl::TlsV1_2:
        return QStringLiteral("TLSv1.2");
    case QSsl::TlsV1_3:
        return QStringLiteral("TLSv1.3");
    default:
        return QStringLiteral("TLS (protocol %1)").arg(int(protocol));
    }
}

} // namespace

QString describe(const QTcpSocket &socket)
{
    const auto *tls = qobject_cast<const QSslSocket *>(&socket);
    if (!tls || !tls->isEncrypted())
        return {};
    const QSslCertificate certificate = tls->peerCertificate();
    const QString subject = certificate.isNull()
        ? QStringLiteral("no certificate")
        : QStringLiteral("subject ") + certificate.subjectDisplayName();
    return QStringLiteral("%1, %2, %3")
        .arg(subject, protocolName(tls->sessionProtocol()), tls->sessionCipher().name());
}

QString peerSubject(const QTcpSocket &socket)
{
    const auto *tls = qobject_cast<const QSslSocket *>(&socket);
    if (!tls || !tls->isEncrypted() || tls->peerCertificate().isNull())
        return {};
    return tls->peerCertificate().subjectDisplayName();
}

QString checkIdentity(const QSslConfiguration &configuration)
{
    // OpenSSL checks that key and certificate belong together when a
    // context is made, which a server socket does as its handshake starts.
    // One end of a socket pair is enough: no byte ever reaches the other.
    qintptr ends[2];
    if (!winsock_os::socketPair(ends))
        return QStringLiteral("no descriptor left to check the certificate with");
    QString problem;
    {
        QSslSocket probe;
        if (!probe.setSocketDescriptor(ends[0])) {
            winsock_os::closeDescriptor(ends[0]);
            problem = probe.errorString();
        } else {
            probe.setSslConfiguration(configuration);
            QObject::connect(&probe, &QAbstractSocket::errorOccurred, &probe,
                             [&problem, &probe] {
                                 if (problem.isEmpty())
                                     problem = probe.errorString();
                             });
            probe.startServerEncryption();
            probe.abort();
        }
    }
    winsock_os::closeDescriptor(ends[1]);
    return problem;
}

} // namespace Tls
