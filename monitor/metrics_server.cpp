#include "monitor/metrics_server.h"

#include "engine/engine.h"
#include "engine/peer_filter.h"
#include "monitor/console.h"
#include "monitor/console_files.h"
#include "monitor/metrics_text.h"
#include "platform/acceptor.h"
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
#include <QPointer>
#include <QTimer>
#include <QWebSocket>

#include <functional>
#include <optional>

namespace {

const QByteArray TooLarge = "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                            "Content-Length: 0\r\nConnection: close\r\n\r\n";

const QByteArray Malformed = "HTTP/1.1 400 Bad Request\r\n"
                             "Content-Length: 0\r\nConnection: close\r\n\r\n";

// Reads along with the HTTP server, one request at a time, what the HTTP
// server itself does not hold to: the size limit applies to each request
// (pipelined ones each have their own), a request that is not HTTP/1.x
// gets 400 and the close, and a request that asks for the close (HTTP/1.0
// without keep-alive, "Connection: close") has it once answered.
//
// The HTTP server reads a request inside a read transaction, commits it
// once the request is complete, and takes everything waiting: with a
// transaction open, what is available is new; without one, all of it is
// still unread and is measured afresh.
class RequestMeter : public QObject
{
public:
    RequestMeter(QTcpSocket &socket, qint64 limit) : QObject(&socket), m_socket(socket), m_limit(limit) {}

    void onReadyRead()
    {
        if (m_refused) {
            (void)m_socket.readAll(); // the answer is out; the rest is dropped
            m_quiet->start();
            return;
        }
        if (!m_socket.isTransactionStarted())
            m_head.clear(), m_size = 0, m_body = 0;
        const QByteArray fresh = m_socket.peek(m_socket.bytesAvailable());
        for (const char byte : fresh) {
            ++m_size;
            if (m_body > 0) {
                if (--m_body == 0)
                    m_head.clear(), m_size = 0;
                continue;
            }
            if (m_size > m_limit)
                return refuse(TooLarge, QStringLiteral("a request over %1 bytes").arg(m_limit));
            m_head.append(byte);
            if (!m_head.endsWith("\r\n\r\n"))
                continue;
            if (!headComplete())
                return refuse(Malformed, QStringLiteral("a malformed request"));
        }
        if (m_closeAfter)
            QMetaObject::invokeMethod(this, [this] {
                // Answered by now: the HTTP server answers as it reads.
                if (m_socket.bytesAvailable() == 0)
                    m_socket.disconnectFromHost();
            }, Qt::QueuedConnection);
    }

private:
    // The request line and headers in m_head are HTTP/1.x; notes what
    // they ask for the connection and the body that follows.
    bool headComplete()
    {
        const QList<QByteArray> lines = m_head.chopped(4).split('\n');
        const QList<QByteArray> start = lines.constFirst().trimmed().split(' ');
        if (start.size() != 3 || start[0].isEmpty() || start[1].isEmpty()
            || (start[2] != "HTTP/1.1" && start[2] != "HTTP/1.0"))
            return false;
        for (const char c : start[0]) {
            if (c < 'A' || c > 'Z')
                return false;
        }
        bool keepAlive = start[2] == "HTTP/1.1";
        qint64 body = 0;
        bool webSocket = false;
        QByteArray webSocketKey;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0 || line.left(colon).contains(' '))
                return false;
            const QByteArray name = line.left(colon).toLower();
            const QByteArray value = line.mid(colon + 1).trimmed().toLower();
            if (name == "connection" && value.contains("close"))
                keepAlive = false;
            else if (name == "connection" && value.contains("keep-alive"))
                keepAlive = true;
            else if (name == "content-length")
                body = value.toLongLong();
            else if (name == "upgrade")
                webSocket = value == "websocket";
            else if (name == "sec-websocket-key")
                webSocketKey = line.mid(colon + 1).trimmed();
        }
        // Qt's WebSocket handshake takes any key; one that is not 16 bytes
        // in base64 is no WebSocket client's.
        if (webSocket
            && QByteArray::fromBase64Encoding(webSocketKey, QByteArray::AbortOnBase64DecodingErrors)
                       .decoded.size()
                != 16)
            return false;
        m_closeAfter = m_closeAfter || !keepAlive;
        m_head.clear();
        m_body = body;
        if (m_body == 0)
            m_size = 0;
        return true;
    }

    void refuse(const QByteArray &answer, const QString &what)
    {
        qCWarning(lcNet, "metrics: %s from %s, answered %s and closed", qUtf8Printable(what),
                  qUtf8Printable(m_socket.peerAddress().toString()), answer.mid(9, 3).constData());
        m_refused = true;
        (void)m_socket.readAll(); // the HTTP server gets none of it
        m_socket.write(answer);
        // Closing while the client still sends would reset the connection
        // and could take the answer with it: what it sends is read and
        // dropped until it has been quiet for QuietMs (LingerMs at most).
        m_quiet = new QTimer(this);
        m_quiet->setSingleShot(true);
        m_quiet->setInterval(QuietMs);
        connect(m_quiet, &QTimer::timeout, &m_socket, &QAbstractSocket::disconnectFromHost);
        m_quiet->start();
        QTimer::singleShot(LingerMs, &m_socket, &QAbstractSocket::disconnectFromHost);
    }

    static constexpr int QuietMs = 200;
    static constexpr int LingerMs = 2000;

    QTcpSocket &m_socket;
    const qint64 m_limit;
    QByteArray m_head;    // the request line and headers read so far
    qint64 m_size = 0;    // bytes of the request under way
    qint64 m_body = 0;    // body bytes still to come
    bool m_closeAfter = false;
    bool m_refused = false;
    QTimer *m_quiet = nullptr; // while refused: closes once the client is quiet
};

// The listening side of the HTTP server: turns away peers the filter refuses
// before the HTTP server sees them, and cuts off requests over the limit,
// which the HTTP server itself would buffer without end. It also keeps the
// scrapers to their share of descriptors: a newcomer past maxConnections is
// closed at once, and a connection without a complete request for the idle
// timeout is closed.
class GuardedServer : public QTcpServer
{
public:
    using Allows = std::function<bool(const QHostAddress &)>;
    GuardedServer(Allows allows, qint64 limit, std::optional<QSslConfiguration> tls,
                  const MetricsServer::Limits &limits)
        : m_allows(std::move(allows)), m_limit(limit), m_tls(std::move(tls)), m_limits(limits)
    {
    }

    [[nodiscard]] int open() const { return m_open; }

    void startAccepting()
    {
        new Acceptor(*this, QStringLiteral("metrics"), [this](qintptr fd) { incomingConnection(fd); });
    }

    QTcpSocket *nextPendingConnection() override
    {
        Acceptor *acceptor = Acceptor::of(*this);
        if (!acceptor)
            return QTcpServer::nextPendingConnection();
        return acceptor->takePending([this] { return QTcpServer::nextPendingConnection(); });
    }

    void releaseOldest()
    {
        m_connections.removeAll(nullptr);
        QTcpSocket *chosen = nullptr;
        for (QTcpSocket *socket : std::as_const(m_connections)) {
            if (!socket->isTransactionStarted() && socket->bytesAvailable() == 0) {
                chosen = socket;
                break;
            }
        }
        if (!chosen && !m_connections.isEmpty())
            chosen = m_connections.constFirst();
        if (!chosen)
            return;
        qCWarning(lcNet, "metrics: connection from %s:%u closed, a relay listener needs its descriptor",
                  qUtf8Printable(chosen->peerAddress().toString()), unsigned(chosen->peerPort()));
        drop(chosen);
    }
    [[nodiscard]] quint64 refusedAtLimit() const { return m_refusedAtLimit; }

    // Ends a connection at once. An HTTP connection goes with its socket; a
    // WebSocket's (it has no idle clock any more) belongs to its WebSocket,
    // which goes once it sees the end and takes the socket with it.
    void drop(QTcpSocket *socket)
    {
        const bool http = socket->findChild<QTimer *>(IdleClock, Qt::FindDirectChildrenOnly);
        const QPointer<QTcpSocket> guard(socket);
        socket->abort();
        if (http && guard)
            socket->deleteLater();
        m_connections.removeAll(guard);
        m_connections.removeAll(nullptr);
    }

    void closeOutsiders()
    {
        m_connections.removeAll(nullptr);
        const QList<QPointer<QTcpSocket>> connections = m_connections;
        for (const QPointer<QTcpSocket> &socket : connections) {
            if (!socket || m_allows(socket->peerAddress()))
                continue;
            qCWarning(lcNet, "metrics: connection from %s:%u closed, not in AllowedPeers now",
                      qUtf8Printable(socket->peerAddress().toString()), unsigned(socket->peerPort()));
            drop(socket);
        }
    }

    // The connection of `peer`:`port` became a WebSocket: the HTTP server
    // has let go of it (its handlers on the socket are gone) and handed it
    // to a QWebSocket. It stays counted against maxConnections while it
    // lives, but it is no longer an HTTP connection waiting for a request:
    // its idle clock stops. Returns its socket, nullptr when none is known.
    QTcpSocket *upgraded(const QHostAddress &peer, quint16 port)
    {
        for (const QPointer<QTcpSocket> &socket : std::as_const(m_connections)) {
            if (!socket || socket->peerPort() != port || socket->peerAddress() != peer)
                continue;
            delete socket->findChild<QTimer *>(IdleClock, Qt::FindDirectChildrenOnly);
            return socket;
        }
        return nullptr;
    }
    // True when a client's certificate is checked against the client CA.
    [[nodiscard]] bool checksClients() const
    {
        return m_tls && m_tls->peerVerifyMode() == QSslSocket::VerifyPeer && !m_tls->caCertificates().isEmpty();
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
        const bool reserved = Acceptor::inReserve(descriptor);
        if (reserved || m_open >= m_limits.maxConnections) {
            ++m_refusedAtLimit;
            // Once per crowd, not once per newcomer: the log must not be
            // the next thing to fill up.
            if (m_refusedInEpisode++ == 0)
                qCWarning(lcNet, "metrics: peer %s:%u refused, %s; further newcomers are closed "
                          "until one ends",
                          qUtf8Printable(socket->peerAddress().toString()), unsigned(socket->peerPort()),
                          reserved ? "the descriptors left are the relay's"
                                   : qPrintable(QStringLiteral("%1 connections open (MaxConnections)").arg(m_open)));
            socket->abort();
            delete socket;
            return;
        }
        track(socket);
        // Connected before the HTTP server's own reader, so this sees each
        // read's new bytes before it takes them.
        auto *meter = new RequestMeter(*socket, m_limit);
        connect(socket, &QTcpSocket::readyRead, meter, &RequestMeter::onReadyRead);
        if (!m_tls) {
            addPendingConnection(socket);
            emit newConnection();
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
    // Counts the connection while its socket lives and closes it when no
    // request completes within the idle timeout. The HTTP server drops
    // every connection of a socket it cannot parse, so nothing here hangs
    // on the socket's own signals: the timer and the counter are children.
    void track(QTcpSocket *socket)
    {
        ++m_open;
        m_connections.append(socket);
        auto *counted = new QObject(socket);
        connect(counted, &QObject::destroyed, this, [this] {
            --m_open;
            m_connections.removeAll(nullptr);
            if (m_refusedInEpisode > 0) {
                qCInfo(lcNet, "metrics: %d newcomers were refused meanwhile; accepting again", m_refusedInEpisode);
                m_refusedInEpisode = 0;
            }
            // A descriptor came back: an accept that failed for want of one
            // may go on now.
            if (Acceptor *acceptor = Acceptor::of(*this))
                acceptor->resumeNow();
        });
        auto *idle = new QTimer(socket);
        idle->setObjectName(IdleClock);
        idle->setSingleShot(true);
        idle->setInterval(m_limits.idleTimeoutMs);
        connect(idle, &QTimer::timeout, this, [socket, seconds = m_limits.idleTimeoutMs / 1000.0] {
            qCInfo(lcNet, "metrics: connection from %s:%u closed, no complete request for %g s",
                   qUtf8Printable(socket->peerAddress().toString()), unsigned(socket->peerPort()), seconds);
            socket->abort();
            socket->deleteLater();
        });
        // An answer going out means a request was complete: the clock
        // starts again for the next one (a scraper keeping its connection).
        connect(socket, &QIODevice::bytesWritten, idle, [idle] { idle->start(); });
        idle->start();
    }

    static inline const QString IdleClock = QStringLiteral("idle");

    Allows m_allows;
    qint64 m_limit;
    std::optional<QSslConfiguration> m_tls;
    const MetricsServer::Limits m_limits;
    quint64 m_refusedAtLimit = 0;
    int m_open = 0;
    int m_refusedInEpisode = 0;
    QList<QPointer<QTcpSocket>> m_connections; // oldest first
};

} // namespace

MetricsServer::MetricsServer(const Engine &engine, QObject *parent)
    : MetricsServer(
          {[&engine] { return QList<const Engine *> {&engine}; },
           [&engine](const QHostAddress &peer) { return engine.network().peerFilter(nullptr).allows(peer); },
           false, {}, nullptr, false},
          parent)
{
}

MetricsServer::MetricsServer(Source source, QObject *parent)
    : QObject(parent), m_source(std::move(source)), m_http(new QHttpServer(this)),
      m_console(new Console(m_source, this))
{
    connect(m_http, &QAbstractHttpServer::newWebSocketConnection, this, &MetricsServer::upgraded);
    // Qt's HTTP server upgrades a request only when a route takes it; the
    // route writes nothing then, the WebSocket handshake answers. Asked
    // without the upgrade, these places say what they need. The one hub of
    // a run has an empty name: its terminal is /hubs//terminal.
    const auto upgrade = [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) != 0)
            responder.write(QHttpServerResponder::StatusCode::UpgradeRequired);
    };
    m_http->route(QStringLiteral("/events"), upgrade);
    m_http->route(QStringLiteral("/hubs//terminal"), upgrade);
    m_http->route(QStringLiteral("/hubs/<arg>/terminal"),
                  [upgrade](const QString &, const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                      upgrade(request, std::move(responder));
                  });
    const auto version = [] { return QCoreApplication::applicationVersion(); };
    const auto devices = [this] {
        QList<metrics_text::Device> list;
        for (const Engine *hub : m_source.hubs())
            list.append({hub->name(), hub->snapshot()});
        return list;
    };
    m_http->route(QStringLiteral("/metrics"), QHttpServerRequest::Method::Get,
                  [this, version, devices](const QHttpServerRequest &) {
                      return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8",
                                                 metrics_text::prometheus(devices(), version())
                                                     + ownMetrics());
                  });
    m_http->route(QStringLiteral("/status"), QHttpServerRequest::Method::Get,
                  [this, version, devices](const QHttpServerRequest &) {
                      const QList<metrics_text::Device> list = devices();
                      return QHttpServerResponse(
                          "application/json",
                          m_source.several || list.size() != 1
                              ? metrics_text::statusJson(list, version())
                              : metrics_text::statusJson(list.front().snapshot, version()));
                  });
    console_files::addRoutes(*m_http, QStringLiteral(QUAYLIGHT_XTERM_DIR));
}

MetricsServer::~MetricsServer()
{
    // The WebSockets before the HTTP server: their TCP sockets are the
    // HTTP server's listener's children.
    delete m_console;
}

void MetricsServer::setLimits(const Limits &limits)
{
    m_limits = limits;
}

void MetricsServer::closeOutsiders()
{
    if (m_server)
        static_cast<GuardedServer *>(m_server)->closeOutsiders();
}

void MetricsServer::releaseOldest()
{
    if (m_server)
        static_cast<GuardedServer *>(m_server)->releaseOldest();
}

quint64 MetricsServer::refusedAtLimit() const
{
    return m_server ? static_cast<const GuardedServer *>(m_server)->refusedAtLimit() : 0;
}

int MetricsServer::openConnections() const
{
    return m_server ? static_cast<const GuardedServer *>(m_server)->open() : 0;
}

void MetricsServer::upgraded()
{
    while (m_http->hasPendingWebSocketConnections()) {
        QWebSocket *socket = m_http->nextPendingWebSocketConnection().release();
        auto *guarded = static_cast<GuardedServer *>(m_server);
        QTcpSocket *tcp = guarded ? guarded->upgraded(socket->peerAddress(), socket->peerPort()) : nullptr;
        if (!tcp) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // The socket's life is the WebSocket's: it counts against
        // MaxConnections (its counter is one of its children) until then.
        connect(socket, &QObject::destroyed, tcp, &QObject::deleteLater);
        Console::Access access;
        const auto *secure = qobject_cast<const QSslSocket *>(tcp);
        if (secure && secure->isEncrypted() && !secure->peerCertificate().isNull()) {
            const QSslCertificate certificate = secure->peerCertificate();
            const QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
            access.subject = names.isEmpty() ? certificate.subjectDisplayName()
                                             : QStringLiteral("CN=") + names.join(QLatin1Char(','));
            // Only a certificate the handshake checked against the client CA
            // gives control; one merely shown does not.
            access.control = guarded->checksClients();
        }
        access.terminal = access.control || m_source.terminalOpen;
        m_console->take(socket, tcp, access);
    }
}

QByteArray MetricsServer::ownMetrics() const
{
    // The HTTP side's own connections, beside the hub's.
    return QByteArrayLiteral("# HELP quaylight_metrics_connections HTTP connections open to this endpoint.\n"
                             "# TYPE quaylight_metrics_connections gauge\n"
                             "quaylight_metrics_connections ")
        + QByteArray::number(openConnections())
        + QByteArrayLiteral("\n# HELP quaylight_metrics_connections_refused_total HTTP connections closed "
                            "unserved.\n"
                            "# TYPE quaylight_metrics_connections_refused_total counter\n"
                            "quaylight_metrics_connections_refused_total{reason=\"limit\"} ")
        + QByteArray::number(refusedAtLimit()) + '\n';
}

quint16 MetricsServer::listen(const QHostAddress &address, quint16 port,
                              const std::function<QSslConfiguration()> &tls)
{
    std::optional<QSslConfiguration> configuration;
    if (tls)
        configuration = tls(); // throws, and nothing is served in clear
    // AllowedPeers as it is when the peer connects: the operator may change it.
    auto *server = new GuardedServer(
        [this](const QHostAddress &peer) { return m_source.allows(peer); },
        RequestLimit, std::move(configuration), m_limits);
    if (!server->listen(address, port)) {
        const int code = server->serverError() == QAbstractSocket::AddressInUseError
            ? WinsockCode::AddressInUse
            : WinsockCode::AddressNotAvailable;
        const QString why = server->errorString();
        delete server;
        throw ComponentError(code, why);
    }
    // Out of descriptors, it goes on trying instead of pausing for good.
    server->startAccepting();
    m_http->bind(server); // the HTTP server owns it from here
    m_server = server;
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
