#include "monitor/metrics_server.h"

#include "engine/engine.h"
#include "engine/peer_filter.h"
#include "monitor/metrics_text.h"
#include "platform/component_error.h"
#include "platform/host_port.h"
#include "platform/log_categories.h"
#include "platform/tls_listener.h"
#include "platform/winsock.h"

#include <QCoreApplication>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QTcpServer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <optional>

namespace {

const QByteArray TooLarge = "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                            "Content-Length: 0\r\nConnection: close\r\n\r\n";

// The listening side of the HTTP server: turns away peers the filter refuses
// before the HTTP server sees them, and cuts off requests over the limit,
// which the HTTP server itself would buffer without end.
class GuardedServer : public QTcpServer
{
public:
    using Allows = std::function<bool(const QHostAddress &)>;
    GuardedServer(Allows allows, qint64 limit, std::optional<QSslConfiguration> tls)
        : m_allows(std::move(allows)), m_limit(limit), m_tls(std::move(tls))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (!m_allows(socket->peerAddress())) {
            qCWarning(lcNet, "metrics: peer %s:%u refused, not in AllowedPeers",
                      qUtf8Printable(socket->peerAddress().toString()), unsigned(socket->peerPort()));
            socket->abort();
            socket->deleteLater();
            return;
        }
        // Connected before the HTTP server's own reader, so this sees each
        // read's new bytes before it takes them. The HTTP server reads a
        // request inside a read transaction and commits it once the request
        // is complete: no transaction open means the next request begins.
        connect(socket, &QTcpSocket::readyRead, socket, [socket, limit = m_limit, pending = qint64(0)]() mutable {
            if (!socket->isTransactionStarted())
                pending = 0;
            pending += socket->bytesAvailable();
            if (pending <= limit)
                return;
            qCWarning(lcNet, "metrics: a request from %s over %lld bytes, connection closed",
                      qUtf8Printable(socket->peerAddress().toString()), limit);
            (void)socket->readAll(); // the HTTP server gets none of it
            socket->write(TooLarge);
            socket->disconnectFromHost();
        });
        if (!m_tls) {
            addPendingConnection(socket);
            return;
        }
        // The HTTP server gets the connection once it is encrypted (and the
        // client's certificate checked, when [tls] ClientCa asks for one).
        auto *secure = static_cast<QSslSocket *>(socket);
        secure->setSslConfiguration(*m_tls);
        connect(secure, &QSslSocket::encrypted, this, [this, secure] {
            addPendingConnection(secure);
            emit newConnection();
        });
        connect(secure, &QAbstractSocket::errorOccurred, secure, [secure] {
            if (secure->isEncrypted())
                return;
            qCWarning(lcNet, "metrics: peer %s:%u refused, TLS: %s",
                      qUtf8Printable(secure->peerAddress().toString()), unsigned(secure->peerPort()),
                      qUtf8Printable(secure->errorString()));
            secure->abort();
            secure->deleteLater();
        });
        QTimer::singleShot(TlsListener::HandshakeTimeoutMs, secure, [secure] {
            if (!secure->isEncrypted())
                secure->abort(), secure->deleteLater();
        });
        secure->startServerEncryption();
    }

private:
    Allows m_allows;
    qint64 m_limit;
    std::optional<QSslConfiguration> m_tls;
};

} // namespace

MetricsServer::MetricsServer(const Engine &engine, QObject *parent)
    : QObject(parent), m_engine(engine), m_http(new QHttpServer(this))
{
    const auto version = [] { return QCoreApplication::applicationVersion(); };
    m_http->route(QStringLiteral("/metrics"), QHttpServerRequest::Method::Get,
                  [this, version](const QHttpServerRequest &) {
                      return QHttpServerResponse(
                          "text/plain; version=0.0.4; charset=utf-8",
                          metrics_text::prometheus(m_engine.snapshot(), version()));
                  });
    m_http->route(QStringLiteral("/status"), QHttpServerRequest::Method::Get,
                  [this, version](const QHttpServerRequest &) {
                      return QHttpServerResponse(
                          "application/json", metrics_text::statusJson(m_engine.snapshot(), version()));
                  });
}

MetricsServer::~MetricsServer() = default;

quint16 MetricsServer::listen(const QHostAddress &address, quint16 port,
                              const std::function<QSslConfiguration()> &tls)
{
    std::optional<QSslConfiguration> configuration;
    if (tls)
        configuration = tls(); // throws, and nothing is served in clear
    // AllowedPeers as it is when the peer connects: the operator may change it.
    auto *server = new GuardedServer(
        [this](const QHostAddress &peer) {
            return m_engine.network().peerFilter(nullptr).allows(peer);
        },
        RequestLimit, std::move(configuration));
    if (!server->listen(address, port)) {
        const int code = server->serverError() == QAbstractSocket::AddressInUseError
            ? WinsockCode::AddressInUse
            : WinsockCode::AddressNotAvailable;
        const QString why = server->errorString();
        delete server;
        throw ComponentError(code, why);
    }
    m_http->bind(server); // the HTTP server owns it from here
    return server->serverPort();
}

bool MetricsServer::parseAddress(const QString &text, QHostAddress *address, quint16 *port)
{
    const std::optional<HostPort> place = HostPort::parse(text, nullptr);
    if (!place)
        return false;
    *address = place->preferred();
    *port = place->port;
    return true;
}
