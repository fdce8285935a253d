#include "platform/winsock.h"

#include "platform/acceptor.h"
#include "platform/component_error.h"
#include "platform/send_side.h"
#include "platform/tls_listener.h"
#include "platform/winsock_os.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QScopedValueRollback>
#include <QTcpServer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <optional>
#include <utility>

namespace {

// The one place that turns a Qt socket error into a Winsock number. Qt reports
// both "network unreachable" and "host unreachable" as NetworkError; only its
// text (QNativeSocketEngine's, compared in translated form) tells them apart.
int winsockCode(QAbstractSocket::SocketError error, const QString &description)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return WinsockCode::ConnectionRefused;
    case QAbstractSocket::RemoteHostClosedError:
        return WinsockCode::ConnectionReset;
    case QAbstractSocket::HostNotFoundError:
        return WinsockCode::HostNotFound;
    case QAbstractSocket::SocketAccessError:
        return WinsockCode::PermissionDenied;
    case QAbstractSocket::SocketResourceError:
        return WinsockCode::NoBufferSpace;
    case QAbstractSocket::SocketTimeoutError:
        return WinsockCode::TimedOut;
    case QAbstractSocket::AddressInUseError:
        return WinsockCode::AddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return WinsockCode::AddressNotAvailable;
    case QAbstractSocket::NetworkError:
        if (description == QCoreApplication::translate("QNativeSocketEngine", "Host unreachable"))
            return WinsockCode::HostUnreachable;
        if (description
            == QCoreApplication::translate("QNativeSocketEngine", "Network unreachable"))
            return WinsockCode::NetworkUnreachable;
        return WinsockCode::ConnectionAborted;
    default:
        return WinsockCode::SocketFailure;
    }
}

// A peer of a dual-stack listener that came over IPv4 reads as
// ::ffff:a.b.c.d; people and filters know it as a.b.c.d.
QHostAddress plainAddress(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}

ComponentError badState(const char *call, int state)
{
    return ComponentError(WinsockCode::BadState,
                          QStringLiteral("%1 is not allowed in state %2")
                              .arg(QLatin1String(call))
                              .arg(state));
}

void checkPort(qint64 port)
{
    if (port < 0 || port > 65535)
        throw ComponentError(WinsockCode::InvalidPropertyValue,
                             QStringLiteral("Port %1 is outside 0..65535").arg(port));
}

// Request ids are unique in the process (1..INT_MAX, then wrapping), so an id
// handed to the wrong instance is refused rather than matching by chance.
qint32 newRequestId()
{
    static std::atomic<quint32> counter {0};
    return qint32(counter.fetch_add(1, std::memory_order_relaxed) % 0x7fffffffU) + 1;
}

static_assert(Winsock::KeepAliveIdleSeconds
                      + Winsock::KeepAliveIntervalSeconds * Winsock::KeepAliveProbes
                  <= 30,
              "a vanished peer must be noticed within 30 s");

void tuneConnection(QTcpSocket *socket)
{
    // Relayed chunks must leave at once.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A peer that vanished without closing (cable pulled, host off) would
    // hold a listener's only slot forever: probe it and fail the socket.
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    winsock_os::setKeepAliveTiming(socket->socketDescriptor(), Winsock::KeepAliveIdleSeconds,
                                   Winsock::KeepAliveIntervalSeconds, Winsock::KeepAliveProbes);
    // Bounded: past the limit Qt stops reading and TCP holds the peer.
    socket->setReadBufferSize(Winsock::ReadBufferLimit);
}

// A plain listener that keeps what it accepted as bare descriptors until the
// connection is taken. Qt's own would wrap each in a socket at once, which
// reads while it waits: a peer that sent its query and closed its side in
// the meantime would be found disconnected, its address forgotten and its
// descriptor gone, before anyone could answer it.
class PlainListener : public QTcpServer
{
public:
    ~PlainListener() override
    {
        for (qintptr fd : std::as_const(m_waiting))
            winsock_os::closeDescriptor(fd);
    }

    [[nodiscard]] bool hasPendingConnections() const override { return !m_waiting.isEmpty(); }

    // The oldest waiting connection's descriptor (now the caller's), or -1.
    [[nodiscard]] qintptr takeDescriptor()
    {
        if (m_waiting.isEmpty())
            return -1;
        if (m_waiting.size() >= maxPendingConnections())
            Acceptor::of(*this)->resumeNow(); // room for the next
        return m_waiting.takeFirst();
    }

    // Only takeDescriptor hands connections out.
    QTcpSocket *nextPendingConnection() override { return nullptr; }

    // Past maxPendingConnections waiting, the kernel's queue holds the others.
    [[nodiscard]] Acceptor *startAccepting()
    {
        return new Acceptor(
            *this, QStringLiteral("listener"), [this](qintptr fd) { incomingConnection(fd); },
            [this] { return m_waiting.size() >= maxPendingConnections(); });
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        m_waiting.append(descriptor);
        emit newConnection();
    }

private:
    QList<qintptr> m_waiting;
};

// A TLS listener whose connections the acceptor takes. Handshakes under way
// count as waiting, as Qt counts them.
class AcceptedTlsListener : public TlsListener
{
public:
    using TlsListener::TlsListener;

    [[nodiscard]] Acceptor *startAccepting()
    {
        return new Acceptor(*this, QStringLiteral("TLS listener"),
                            [this](qintptr fd) { incomingConnection(fd); }, [this] {
                                return findChildren<QSslSocket *>(Qt::FindDirectChildrenOnly).size()
                                    >= maxPendingConnections();
                            });
    }
};

} // namespace

Winsock::Winsock(QObject *parent)
    : Connection(parent)
{
}

Winsock::~Winsock()
{
    Close();
    for (Offered &offered : m_requests)
        offered.discard();
    m_requests.clear();
}

// Every event goes through here: posted to the event loop, delivered later
// only if no Close, Connect or Accept came in between.
template <typename Deliver>
void Winsock::post(Deliver &&deliver)
{
    m_gate.posted();
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation, deliver = std::forward<Deliver>(deliver)]() mutable {
            if (generation != m_generation)
                return;
            m_gate.delivered();
            deliver();
        },
        Qt::QueuedConnection);
}

void Winsock::newGeneration()
{
    ++m_generation;
    m_gate.forgetPosted();
}

int Winsock::State() const
{
    return m_state;
}

void Winsock::setProtocol(int protocol)
{
    if (protocol != 0)
        throw ComponentError(WinsockCode::InvalidPropertyValue,
                             QStringLiteral("Protocol %1 is not supported (only 0, TCP)")
                                 .arg(protocol));
}

void Winsock::setLocalPort(qint64 port)
{
    checkPort(port);
    m_localPort = quint16(port);
}

qint32 Winsock::LocalPort() const
{
    if (!m_servers.isEmpty())
        return m_servers.constFirst()->serverPort();
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        return m_socket->localPort();
    return m_localPort;
}

void Winsock::setRemoteHost(const QString &host)
{
    m_remoteHost = host;
}

void Winsock::setRemotePort(qint64 port)
{
    checkPort(port);
    m_remotePort = qint32(port);
}

void Winsock::Close()
{
    dropConnection(false);
    closeServer();
}

void Winsock::Abort()
{
    dropConnection(true);
    closeServer();
}

void Winsock::closeServer()
{
    // Connections still queued in a server are its children: they go with
    // it. The one being offered was re-parented and stays acceptable.
    qDeleteAll(std::exchange(m_servers, {}));
    m_state = sckClosed;
}

// Forgets the current connection and everything posted for it; `reset`
// ends it with a reset instead of handing the OS what it takes.
void Winsock::dropConnection(bool reset)
{
    newGeneration();
    m_dataArrivalPosted = false;
    m_requestPosted = false;
    m_remoteIP.clear();
    const QByteArray gathered = std::exchange(m_gathered, {});
    m_sealPending = false;
    if (reset) {
        // A property of the connection, not of one descriptor: whichever
        // closes last sends it.
        for (qintptr fd : {m_socket ? m_socket->socketDescriptor() : -1, m_spare,
                           m_sendSide ? m_sendSide->descriptor() : -1})
            winsock_os::setResetOnClose(fd);
        if (m_sendSide)
            m_sendSide->close(); // what waits there is dropped, not sent first
    }
    endSendSide(gathered);
    if (QTcpSocket *socket = std::exchange(m_socket, nullptr)) {
        socket->disconnect(this);
        // Hand the OS what it takes without waiting (or nothing, with a
        // reset); the destructor aborts, which closes the descriptor now.
        if (!reset && socket->state() == QAbstractSocket::ConnectedState) {
            socket->write(gathered);
            socket->flush();
        }
        if (socket == m_notifyingSocket) {
            // Inside a handler of its own read notification: the descriptor
            // closes now, the object once that notification has returned.
            socket->abort();
            socket->deleteLater();
        } else {
            delete socket; // aborts, which closes the descriptor now
        }
    }
}

// Closes the descriptors kept for sending after the peer's end of stream,
// handing the OS `last` and what waits as far as it takes them now.
void Winsock::endSendSide(const QByteArray &last)
{
    if (SendSide *side = std::exchange(m_sendSide, nullptr)) {
        (void)side->write(last);
        side->close();
        if (m_sendSideNotifying)
            side->deleteLater(); // inside its own write notification
        else
            delete side;
    }
    winsock_os::closeDescriptor(std::exchange(m_spare, -1));
}

void Winsock::StopSending()
{
    if (m_state == sckClosing)
        endSendSide(std::exchange(m_gathered, {}));
}

void Winsock::setLocalAddresses(const QList<QHostAddress> &addresses)
{
    if (addresses.isEmpty())
        throw ComponentError(WinsockCode::InvalidPropertyValue,
                             QStringLiteral("A listener needs at least one address"));
    m_localAddresses = addresses;
}

void Winsock::setPeerFilter(PeerFilter filter)
{
    m_peerFilter = std::move(filter);
}

void Winsock::setServerTls(TlsSetup setup)
{
    m_serverTls = std::move(setup);
}

void Winsock::setClientTls(TlsSetup setup)
{
    m_clientTls = std::move(setup);
}

std::unique_ptr<QTcpServer> Winsock::makeServer(const QSslConfiguration *tls)
{
    if (!tls)
        return std::make_unique<PlainListener>();
    // The filter in force when a peer arrives, as for plain connections.
    auto server = std::make_unique<AcceptedTlsListener>(*tls, [this](const QHostAddress &peer) {
        return !m_peerFilter || m_peerFilter(plainAddress(peer));
    });
    // Reported as events of this instance, in their turn.
    connect(server.get(), &TlsListener::refused, this, [this](const QHostAddress &peer, quint16 port) {
        post([this, address = plainAddress(peer).toString(), port] { emit PeerRefused(address, port); });
    });
    connect(server.get(), &TlsListener::handshakeFailed, this,
            [this](const QHostAddress &peer, quint16 port, const QString &reason) {
                post([this, address = plainAddress(peer).toString(), port, reason] {
                    emit HandshakeFailed(address, port, reason);
                });
            });
    return server;
}

void Winsock::Listen()
{
    if (m_state != sckClosed)
        throw badState("Listen", m_state);
    std::optional<QSslConfiguration> tls;
    if (m_serverTls)
        tls = m_serverTls();
    std::vector<std::unique_ptr<QTcpServer>> servers;
    quint16 port = m_localPort;
    for (const QHostAddress &address : m_localAddresses) {
        auto server = makeServer(tls ? &*tls : nullptr);
        server->setProxy(QNetworkProxy::NoProxy);
        // A crowd arriving at once waits in the kernel rather than being
        // turned away (the kernel caps it at net.core.somaxconn).
        server->setListenBacklogSize(ListenBacklog);
        // QTcpServer sets SO_REUSEADDR on Unix: the port can be taken again
        // at once after a Close even while old connections sit in TIME_WAIT.
        // Every address listens on the port the first one got.
        if (!server->listen(address, port)) {
            const QString text = server->errorString();
            throw ComponentError(winsockCode(server->serverError(), text), text);
        }
        port = server->serverPort();
        servers.push_back(std::move(server));
    }
    newGeneration();
    for (auto &server : servers) {
        watchServer(server.get(), bool(tls));
        m_servers.append(server.release());
    }
    m_state = sckListening;
}

void Winsock::watchServer(QTcpServer *server, bool tls)
{
    server->setParent(this);
    // Out of descriptors, it goes on trying instead of pausing for good.
    Acceptor *acceptor = tls ? static_cast<AcceptedTlsListener *>(server)->startAccepting()
                             : static_cast<PlainListener *>(server)->startAccepting();
    connect(acceptor, &Acceptor::descriptorsExhausted, this, &Winsock::DescriptorsExhausted);
    // A TLS connection is pending once its handshake is done, well after
    // the listener took it from the OS (newConnection).
    if (tls)
        connect(server, &QTcpServer::pendingConnectionAvailable, this, &Winsock::onNewConnection);
    else
        connect(server, &QTcpServer::newConnection, this, &Winsock::onNewConnection);
}

void Winsock::reloadServerTls()
{
    if (m_state != sckListening)
        return;
    std::optional<QSslConfiguration> tls;
    if (m_serverTls)
        tls = m_serverTls();
    for (QTcpServer *&server : m_servers) {
        auto *secure = qobject_cast<QSslServer *>(server);
        if (tls && secure) {
            secure->setSslConfiguration(*tls);
            continue;
        }
        if (!tls && !secure)
            continue;
        // The listening socket itself stays: a second descriptor of it goes
        // to the new server before the old one closes its own.
        const qintptr fd = winsock_os::duplicate(server->socketDescriptor());
        if (fd < 0)
            throw ComponentError(WinsockCode::NoBufferSpace,
                                 QStringLiteral("No descriptor left to switch the listener"));
        auto replacement = makeServer(tls ? &*tls : nullptr);
        replacement->setProxy(QNetworkProxy::NoProxy);
        if (!replacement->setSocketDescriptor(fd)) {
            winsock_os::closeDescriptor(fd);
            const QString text = replacement->errorString();
            throw ComponentError(winsockCode(replacement->serverError(), text), text);
        }
        watchServer(replacement.get(), bool(tls));
        delete std::exchange(server, replacement.release());
    }
}

bool Winsock::ListeningWithTls() const
{
    return m_state == sckListening && !m_servers.isEmpty()
        && qobject_cast<const QSslServer *>(m_servers.constFirst()) != nullptr;
}

bool Winsock::Encrypted() const
{
    const auto *tls = qobject_cast<const QSslSocket *>(m_socket);
    return tls && tls->isEncrypted();
}

void Winsock::setRefusalText(const QByteArray &text)
{
    m_refusalText = text;
}

QString Winsock::Security() const
{
    return m_socket ? Tls::describe(*m_socket) : QString();
}

QString Winsock::PeerSubject() const
{
    return m_socket ? Tls::peerSubject(*m_socket) : QString();
}

bool Winsock::Offered::peer(QHostAddress *address, quint16 *port) const
{
    if (socket) {
        *address = socket->peerAddress();
        *port = socket->peerPort();
        return true;
    }
    return winsock_os::peerOf(descriptor, address, port);
}

void Winsock::Offered::discard()
{
    if (socket) {
        socket->abort();
        delete socket;
    }
    winsock_os::closeDescriptor(descriptor);
    *this = {};
}

Winsock::Offered Winsock::nextPending()
{
    for (QTcpServer *server : std::as_const(m_servers)) {
        if (!server->hasPendingConnections())
            continue;
        if (auto *plain = dynamic_cast<PlainListener *>(server))
            return {nullptr, plain->takeDescriptor()};
        return {Acceptor::of(*server)->takePending([server] { return server->nextPendingConnection(); }), -1};
    }
    return {};
}

void Winsock::onNewConnection()
{
    // One request at a time: the others wait in the server's queue (and,
    // past its limit, in the OS backlog) until this one has been offered.
    if (m_requestPosted)
        return;
    m_requestPosted = true;
    post([this] { deliverConnectionRequest(); });
}

void Winsock::deliverConnectionRequest()
{
    Offered offered;
    // A peer the filter refuses is closed at once; nobody is asked. One
    // that reset before it was taken is gone without a word.
    while ((offered = nextPending())) {
        QHostAddress peer;
        quint16 port = 0;
        if (!offered.peer(&peer, &port)) {
            offered.discard();
            continue;
        }
        if (!m_peerFilter || m_peerFilter(plainAddress(peer)))
            break;
        refuse(offered);
        emit PeerRefused(plainAddress(peer).toString(), port);
    }
    if (!offered) {
        m_requestPosted = false;
        return;
    }
    // Owned by this instance from now on, so that a Close() in the handler
    // (which deletes the server) leaves it to the Accept that follows.
    if (offered.socket)
        offered.socket->setParent(this);
    const qint32 id = newRequestId();
    m_requests.insert(id, offered);
    const quint64 generation = m_generation;

    emit ConnectionRequest(id);

    // Nobody took it: close it now, the peer sees the connection end.
    m_requests.take(id).discard();

    if (generation == m_generation) {
        m_requestPosted = false;
        for (QTcpServer *server : std::as_const(m_servers)) {
            if (server->hasPendingConnections()) {
                onNewConnection();
                break;
            }
        }
    }
}

void Winsock::refuse(Offered &offered)
{
    // The line goes straight to the descriptor of a plain connection: it is
    // short and nothing was sent before it, so the OS takes it whole; the
    // close follows at once.
    if (!m_refusalText.isEmpty() && !offered.socket)
        (void)winsock_os::sendSome(offered.descriptor, m_refusalText.constData(), m_refusalText.size());
    offered.discard();
}

void Winsock::Connect()
{
    switch (m_state) {
    case sckResolvingHost:
    case sckHostResolved:
    case sckConnecting:
        return; // already on its way: let it finish
    case sckClosed:
    case sckClosing:
    case sckError:
        break;
    default:
        throw badState("Connect", m_state);
    }
    std::optional<QSslConfiguration> tls;
    if (m_clientTls)
        tls = m_clientTls();
    dropConnection(false);
    QTcpSocket *socket = nullptr;
    if (tls) {
        auto *secure = new QSslSocket(this);
        secure->setSslConfiguration(*tls);
        socket = secure;
    } else {
        socket = new QTcpSocket(this);
    }
    socket->setProxy(QNetworkProxy::NoProxy);
    attachSocket(socket);
    // Qt may settle the outcome inside connectToHost (an address literal on
    // loopback); the slots then set the state and post the event as usual.
    m_state = sckResolvingHost;
    if (!tls) {
        socket->connectToHost(m_remoteHost, quint16(m_remotePort));
        return;
    }
    static_cast<QSslSocket *>(socket)->connectToHostEncrypted(m_remoteHost, quint16(m_remotePort));
    // A server that takes the connection and never answers the handshake
    // would hold the endpoint connecting for good.
    QTimer::singleShot(TlsListener::HandshakeTimeoutMs, socket, [this, socket] {
        if (m_socket != socket
            || (m_state != sckResolvingHost && m_state != sckHostResolved && m_state != sckConnecting))
            return;
        socket->abort();
        fail(WinsockCode::TimedOut, QStringLiteral("The TLS handshake did not complete in %1 s")
                                        .arg(TlsListener::HandshakeTimeoutMs / 1000));
    });
}

void Winsock::Accept(qint32 requestID)
{
    Accept(*this, requestID);
}

void Winsock::Accept(Winsock &listener, qint32 requestID)
{
    if (m_state != sckClosed)
        throw badState("Accept", m_state);
    Offered offered = listener.m_requests.take(requestID);
    if (!offered)
        throw ComponentError(WinsockCode::InvalidArgument,
                             QStringLiteral("No pending connection request %1").arg(requestID));
    QTcpSocket *socket = offered.socket;
    if (!socket) {
        socket = new QTcpSocket(this);
        socket->setProxy(QNetworkProxy::NoProxy);
        if (!socket->setSocketDescriptor(offered.descriptor)) {
            const QString text = socket->errorString();
            const int code = winsockCode(socket->error(), text);
            delete socket;
            winsock_os::closeDescriptor(offered.descriptor);
            throw ComponentError(code, text);
        }
    }
    adopt(socket);
}

void Winsock::adopt(QTcpSocket *socket)
{
    socket->setParent(this);
    dropConnection(false);
    attachSocket(socket);
    m_remoteIP = plainAddress(socket->peerAddress()).toString();
    m_peerPort = socket->peerPort();
    m_state = sckConnected;
    // What happened while it was being offered is announced now, in order.
    if (socket->bytesAvailable() > 0)
        postDataArrival();
    if (socket->state() == QAbstractSocket::ConnectedState) {
        tuneConnection(socket);
        // Raw bytes on a second descriptor would break a TLS stream: such a
        // connection ends for sending when its peer closes.
        if (!qobject_cast<QSslSocket *>(socket))
            m_spare = winsock_os::duplicate(socket->socketDescriptor());
    } else {
        peerClosed();
    }
}

void Winsock::attachSocket(QTcpSocket *socket)
{
    m_socket = socket;
    connect(socket, &QIODevice::readyRead, this, &Winsock::onSocketReadyRead);
    connect(socket, &QAbstractSocket::stateChanged, this, &Winsock::onSocketStateChanged);
    // A TLS connection is up once the server's certificate has been checked.
    if (auto *secure = qobject_cast<QSslSocket *>(socket))
        connect(secure, &QSslSocket::encrypted, this, &Winsock::onSocketConnected);
    else
        connect(socket, &QAbstractSocket::connected, this, &Winsock::onSocketConnected);
    connect(socket, &QAbstractSocket::disconnected, this, &Winsock::onSocketDisconnected);
    connect(socket, &QAbstractSocket::errorOccurred, this, &Winsock::onSocketError);
    connect(socket, &QIODevice::bytesWritten, this, &Winsock::BytesSent);
    // TLS hands the plain bytes to the cipher at once and keeps the records
    // in the socket underneath: the backlog goes down as those leave.
    if (auto *secure = qobject_cast<QSslSocket *>(socket))
        connect(secure, &QSslSocket::encryptedBytesWritten, this, &Winsock::BytesSent);
}

void Winsock::onSocketReadyRead()
{
    // readyRead comes only from the socket's read notification in the event
    // loop, never from inside a call on this object. With nothing of this
    // connection still posted, the event is raised here: in order, and
    // without a wake-up of the loop per received chunk.
    if (!m_gate.open()) {
        postDataArrival();
        return;
    }
    const QScopedValueRollback notifying(m_notifyingSocket, m_socket);
    deliverDataArrival();
}

void Winsock::postDataArrival()
{
    if (m_dataArrivalPosted)
        return; // the one already posted reports these bytes too
    m_dataArrivalPosted = true;
    post([this] {
        m_dataArrivalPosted = false;
        deliverDataArrival();
    });
}

void Winsock::deliverDataArrival()
{
    const qint64 waiting = m_socket ? m_socket->bytesAvailable() : 0;
    if (waiting > 0 && !m_receivePaused)
        emit DataArrival(waiting);
}

void Winsock::onSocketStateChanged(QAbstractSocket::SocketState socketState)
{
    if (m_state != sckResolvingHost && m_state != sckHostResolved && m_state != sckConnecting)
        return;
    if (socketState == QAbstractSocket::HostLookupState)
        m_state = sckResolvingHost;
    else if (socketState == QAbstractSocket::ConnectingState)
        m_state = sckConnecting;
}

void Winsock::onSocketConnected()
{
    if (m_state != sckResolvingHost && m_state != sckHostResolved && m_state != sckConnecting)
        return;
    tuneConnection(m_socket);
    if (!qobject_cast<QSslSocket *>(m_socket))
        m_spare = winsock_os::duplicate(m_socket->socketDescriptor());
    m_remoteIP = plainAddress(m_socket->peerAddress()).toString();
    m_peerPort = m_socket->peerPort();
    m_state = sckConnected;
    post([this] { emit Connected(); });
}

void Winsock::onSocketDisconnected()
{
    if (m_state == sckConnected)
        peerClosed();
}

void Winsock::onSocketError(QAbstractSocket::SocketError error)
{
    switch (m_state) {
    case sckResolvingHost:
    case sckHostResolved:
    case sckConnecting:
        break;
    case sckConnected:
        // Qt reports the peer's FIN (and a reset, which it cannot tell apart)
        // as RemoteHostClosedError; the data read before it is in the buffer.
        // The peer may have closed only its sending side and still read:
        // sending goes on through the spare descriptor. Not when Qt drops
        // bytes it still held for the peer: a stream with a hole in it is
        // worse than one that ends.
        if (error == QAbstractSocket::RemoteHostClosedError) {
            peerClosed(m_socket->bytesToWrite() == 0);
            return;
        }
        break;
    default:
        return; // closed, or already reported
    }
    const QString text = m_socket->errorString();
    fail(winsockCode(error, text), text);
}

void Winsock::peerClosed(bool keepSending)
{
    if (keepSending && m_spare >= 0) {
        m_sendSide = new SendSide(std::exchange(m_spare, -1), this);
        connect(m_sendSide, &SendSide::bytesWritten, this, [this](qint64 bytes) {
            const QScopedValueRollback notifying(m_sendSideNotifying, true);
            emit BytesSent(bytes);
        });
    }
    winsock_os::closeDescriptor(std::exchange(m_spare, -1));
    m_state = sckClosing;
    post([this] { emit PeerClosed(); });
}

void Winsock::fail(int number, const QString &description)
{
    m_state = sckError;
    post([this, number, description] { emit Error(number, description); });
}

bool Winsock::CanSend() const
{
    return m_state == sckConnected
        || (m_state == sckClosing && m_sendSide && m_sendSide->isOpen());
}

void Winsock::SendData(const QByteArray &data)
{
    if (!CanSend())
        throw badState("SendData", m_state);
    if (data.isEmpty())
        return;
    if (m_gathering || m_sealPending) {
        // Behind bytes that wait to be sealed: after them, in order.
        m_gathered += data;
        if (!m_gathering && m_gathered.size() >= TlsRecordLimit)
            sealGathered(false);
        return;
    }
    writeNow(data);
}

void Winsock::writeNow(const QByteArray &data)
{
    if (m_sendSide) {
        if (!m_sendSide->write(data))
            throw ComponentError(WinsockCode::ConnectionReset,
                                 QStringLiteral("The peer closed the connection"));
        return;
    }
    // Buffered by Qt (the array is shared, not copied, when large enough) and
    // written as the OS takes it.
    if (m_socket->write(data) != data.size()) {
        const QString text = m_socket->errorString();
        throw ComponentError(winsockCode(m_socket->error(), text), text);
    }
    // Hand it to the OS now rather than on the next pass of the event loop:
    // a relayed chunk saves a wake-up and leaves without waiting for one.
    m_socket->flush();
}

QByteArray Winsock::GetData()
{
    const qint64 waiting = m_socket ? m_socket->bytesAvailable() : 0;
    if (waiting <= 0)
        return {};
    // read(n) with n the whole buffer hands over Qt's buffer chunk without a
    // copy when the data sits in one chunk; readAll() always copies.
    return m_socket->read(waiting);
}

qint64 Winsock::BytesReceived() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

qint64 Winsock::BytesToSend() const
{
    qint64 backlog = m_sendSide ? m_sendSide->bytesToWrite() : 0;
    if (m_socket) {
        backlog += m_socket->bytesToWrite() + m_gathered.size();
        // Over TLS, bytesToWrite is only what the cipher has not taken yet;
        // what the peer still owes us to read waits as encrypted records.
        if (const auto *secure = qobject_cast<const QSslSocket *>(m_socket))
            backlog += secure->encryptedBytesToWrite();
    }
    return backlog;
}

void Winsock::setGathering(bool on)
{
    if (on == m_gathering)
        return;
    m_gathering = on;
    if (on || m_gathered.isEmpty())
        return;
    if (!m_sendSide && m_state == sckConnected && Encrypted()) {
        // Full records leave now; the rest waits until the event loop has
        // nothing more to do (a delivery posted behind this one joins it).
        if (m_gathered.size() >= TlsRecordLimit)
            sealGathered(false);
        m_sealPending = !m_gathered.isEmpty();
        m_sealPasses = 0;
        if (m_sealPending && !m_watchingLoop) {
            if (auto *dispatcher = QAbstractEventDispatcher::instance(thread())) {
                m_watchingLoop = true;
                connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &Winsock::sealWaiting);
                connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] {
                    // A loop that never idles (events posted all the time)
                    // does not hold the bytes back for long either.
                    if (m_sealPending && !m_gathering && ++m_sealPasses > MaxSealPasses)
                        sealWaiting();
                });
            } else {
                sealGathered(true);
                m_sealPending = false;
            }
        }
        return;
    }
    QByteArray gathered = std::exchange(m_gathered, {});
    if (m_sendSide)
        (void)m_sendSide->write(gathered); // refused: the peer had closed entirely
    else if (m_state == sckConnected)
        writeNow(gathered);
    // Once the OS took it all, nothing holds the array any more: its room
    // gathers the next delivery without an allocation (and without holding
    // on to the chunks it is made of, which the serial port reuses).
    if (m_gathered.isNull() && gathered.isDetached()) {
        gathered.resize(0);
        m_gathered = std::move(gathered);
    }
}

// Hands QSslSocket the gathered bytes, one write per record: all of them, or
// (`all` false) the full records only. One flush for them all.
void Winsock::sealGathered(bool all)
{
    const qsizetype sealed = all ? m_gathered.size() : m_gathered.size() / TlsRecordLimit * TlsRecordLimit;
    if (sealed == 0)
        return;
    for (qsizetype at = 0; at < sealed; at += TlsRecordLimit) {
        const QByteArray record = m_gathered.sliced(at, qMin(TlsRecordLimit, sealed - at));
        if (m_socket->write(record) != record.size()) {
            const QString text = m_socket->errorString();
            m_gathered.remove(0, at);
            throw ComponentError(winsockCode(m_socket->error(), text), text);
        }
    }
    m_gathered.remove(0, sealed);
    m_socket->flush();
}

void Winsock::sealWaiting()
{
    // Inside a delivery (a handler's pass of the queue): its end seals.
    if (!m_sealPending || m_gathering)
        return;
    m_sealPending = false;
    if (m_gathered.isEmpty() || !m_socket || m_state != sckConnected)
        return; // a close hands it over, as it does for a plain connection
    // From the event loop: a failed write shows as the socket's error, as a
    // write the OS refuses later does.
    try {
        sealGathered(true);
    } catch (const ComponentError &) {
    }
}

QString Winsock::RemoteHostIP() const
{
    return m_remoteIP;
}

void Winsock::setReceivePaused(bool paused)
{
    if (paused == m_receivePaused)
        return;
    m_receivePaused = paused;
    if (!paused && m_socket && m_socket->bytesAvailable() > 0)
        postDataArrival();
}

qintptr Winsock::SocketHandle() const
{
    return m_socket ? m_socket->socketDescriptor() : -1;
}
