#pragma once

#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslServer>
#include <QString>

#include <functional>

class QTcpSocket;

// A listener whose connections speak TLS. The handshake runs before a
// connection is offered: a connection becomes pending only once it is
// encrypted (and, when the configuration asks for one, the client's
// certificate verified). A peer the address filter refuses is closed before
// it costs a handshake; one that does not finish within HandshakeTimeoutMs
// is dropped. Until then a connection holds nothing of the endpoint.
class TlsListener : public QSslServer
{
    Q_OBJECT

public:
    static constexpr int HandshakeTimeoutMs = 10'000;
    // Handshakes under way at most (Qt counts them as pending); more wait in
    // the OS backlog. Large enough that a crowd of silent clients does not
    // shut out a real one before the timeout clears them.
    static constexpr int MaxHandshakes = 512;

    using Filter = std::function<bool(const QHostAddress &peer)>;

    // `filter` may be empty (everyone may try).
    TlsListener(const QSslConfiguration &configuration, Filter filter, QObject *parent = nullptr);

signals:
    // The filter refused the peer; it was closed without a handshake.
    void refused(const QHostAddress &peer, quint16 port);
    // The peer's handshake failed, timed out, or it left before finishing.
    void handshakeFailed(const QHostAddress &peer, quint16 port, const QString &reason);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void watchHandshake(QSslSocket *socket);

    Filter m_filter;
};

namespace Tls {

// "subject CN=..., TLSv1.3, TLS_AES_256_GCM_SHA384" for an encrypted
// connection; empty for a plain one.
[[nodiscard]] QString describe(const QTcpSocket &socket);
// The subject of the certificate the peer showed; empty for a plain
// connection or a peer that showed none.
[[nodiscard]] QString peerSubject(const QTcpSocket &socket);

// Empty when a listener with `configuration` can run handshakes (its
// certificate and private key belong together), else OpenSSL's reason.
[[nodiscard]] QString checkIdentity(const QSslConfiguration &configuration);

} // namespace Tls
