#include "engine/engine.h"

#include "engine/flow_control.h"
#include "engine/remote_session.h"
#include "engine/router.h"
#include "engine/serial_bridge.h"
#include "engine/socket_endpoint.h"
#include "platform/component_error.h"
#include "platform/handler_guard.h"
#include "platform/log_categories.h"
#include "platform/log_scope.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"

#include <QHostAddress>

#include <QCoreApplication>
#include <QDateTime>
#include <QScopedValueRollback>

#include <algorithm>
#include <utility>

namespace {
// The endpoint whose peer may speak RFC 2217.
SocketEndpoint &remoteEndpoint(const std::array<SocketEndpoint *, EndpointCount> &endpoints)
{
    for (SocketEndpoint *endpoint : endpoints) {
        if (endpoint->row().speaksRfc2217)
            return *endpoint;
    }
    return *endpoints.front();
}
} // namespace

Engine::Engine(const QString &configDir, QObject *parent)
    : QObject(parent), m_settings(configDir), m_ports(configDir),
      m_startedMs(QDateTime::currentMSecsSinceEpoch())
{
    for (const EndpointRow &row : EndpointRows) {
        const std::size_t i = std::size_t(row.index);
        m_owned[i] = std::make_unique<SocketEndpoint>(row, this);
        SocketEndpoint *endpoint = m_endpoints[i] = m_owned[i].get();
        m_sockets[i] = &endpoint->connection();
        Winsock *socket = &endpoint->socket();
        connect(socket, &Winsock::PeerRefused, this, [endpoint] { ++endpoint->refused; });
        connect(socket, &Winsock::HandshakeFailed, this, [endpoint] { ++endpoint->refusedTls; });
        connect(socket, &Winsock::DescriptorsExhausted, this, &Engine::descriptorsExhausted);
    }
    m_serial = new SerialBridge(m_ports, this);
    m_flow = new FlowControl(m_sockets, m_serial->comm(), this);
    m_session = new RemoteSession(remoteEndpoint(m_endpoints), *m_serial, *m_flow, this);
    remoteEndpoint(m_endpoints).session = m_session;
    m_router = new Router(m_endpoints, *m_serial, *m_flow, this);

    // The serial direction serves its last destination (the TCP/IP Server)
    // after passes of the event queue, so a peer accepted in them still gets
    // the chunk.
    m_router->setSerialHook([](const SocketEndpoint &last) {
        QCoreApplication::processEvents();
        if (!last.canSend() && last.connectedPeers() == 0)
            QCoreApplication::processEvents();
    });
    connect(&m_serial->comm(), &SerialComm::DeliveryEnded, this,
            [this] { runHandler("serial delivery ended", [&] { m_router->setGathering(false); }); });
    // A peer of a listener that serves several is dropped alone; the
    // endpoint and its other peers go on.
    const auto drop = [this](Connection *socket, const QString &why) {
        SocketEndpoint *owner = nullptr;
        SocketEndpoint *peer = nullptr;
        if (!findSocket(socket, &owner, &peer))
            return;
        if (peer)
            dropPeer(*owner, *peer, why);
        else
            dropDestination(owner->index(), why);
    };
    connect(m_flow, &FlowControl::destinationStalled, this,
            [this, drop](Connection *socket, int, const QString &why) {
                const LogScope scope(m_name);
                runHandler("stalled destination", [&] { drop(socket, why); });
            });
    connect(m_flow, &FlowControl::destinationOverflowed, this, [this, drop](Connection *socket, int) {
        const LogScope scope(m_name);
        runHandler("overflowing destination", [&] {
            drop(socket, QStringLiteral("fell %1 KiB behind the serial port")
                             .arg(m_flow->limits().serialQueueLimit / 1024));
        });
    });
    connect(m_session, &RemoteSession::overflowed, this, [this](qint64 limit) {
        const LogScope scope(m_name);
        for (SocketEndpoint *endpoint : m_endpoints) {
            if (endpoint->row().speaksRfc2217)
                dropDestination(endpoint->index(),
                                QStringLiteral("held back more than %1 KiB").arg(limit / 1024));
        }
    });
}

Engine::~Engine()
{
    releaseAll();
}

void Engine::relayFromSocket(int index)
{
    if (!isEndpoint(index))
        return;
    SocketEndpoint &endpoint = *m_endpoints[std::size_t(index)];
    relay(endpoint, endpoint);
}

void Engine::relay(SocketEndpoint &source, SocketEndpoint &owner)
{
    QByteArray chunk = source.connection().GetData();
    if (chunk.isEmpty())
        return;
    countBytes(source.received, source.lastReceivedMs, chunk.size());
    if (&source != &owner)
        countBytes(owner.received, owner.lastReceivedMs, chunk.size());
    if (source.session && source.session->active()) {
        // Telnet commands are answered here and never reach the device.
        chunk = source.session->fromPeer(chunk);
        if (chunk.isEmpty())
            return;
    }
    m_router->fanOut(owner.index(), chunk);
}

bool Engine::keepsListening(int index) const
{
    return m_endpoints[std::size_t(index)]->row().sharesPeers && m_network.keepsListening();
}

void Engine::acceptPeer(int index, qint32 requestID)
{
    SocketEndpoint &owner = *m_endpoints[std::size_t(index)];
    auto peer = std::make_unique<SocketEndpoint>(owner.row(), this);
    Winsock &socket = peer->socket();
    try {
        socket.Accept(owner.socket(), requestID);
    } catch (const ComponentError &) {
        delete &socket;
        throw;
    }
    if (admitPeer(owner, std::move(peer)))
        return;
    if (const QByteArray line = m_network.refusalLine(); !line.isEmpty())
        socket.SendData(line); // handed to the OS by the Close
    socket.Close();
    delete &socket; // raised by the listener, not by this socket: gone at once
}

Engine::PeerRefusal Engine::addPeer(int index, Connection &connection)
{
    SocketEndpoint &owner = *m_endpoints[std::size_t(index)];
    const QString who = QStringLiteral("%1:%2").arg(connection.RemoteHostIP()).arg(connection.PeerPort());
    const int own = owner.socket().State();
    if (!owner.row().sharesPeers || (own != Winsock::sckListening && own != Winsock::sckConnected)) {
        qCWarning(lcNet, "%s: peer %s refused, not listening", endpointName(index), qUtf8Printable(who));
        return PeerRefusal::NotListening;
    }
    // The rules the listener applies to a TCP peer before offering it.
    if (!m_network.peerFilter(nullptr).allows(QHostAddress(connection.RemoteHostIP()))) {
        qCWarning(lcNet, "%s: peer %s refused, not in AllowedPeers", endpointName(index), qUtf8Printable(who));
        ++owner.refused;
        return PeerRefusal::NotAllowed;
    }
    // A listener that speaks TLS only takes no peer in clear, whatever
    // carries it, and with a client CA none without a checked certificate.
    if (m_tls.enabled
        && (connection.Security().isEmpty() || (!m_tls.clientCa.isEmpty() && connection.PeerSubject().isEmpty()))) {
        qCWarning(lcNet, "%s: peer %s refused, the listener speaks TLS only%s", endpointName(index),
                  qUtf8Printable(who), m_tls.clientCa.isEmpty() ? "" : " with a client certificate");
        ++owner.refusedTls; // as a failed handshake
        return PeerRefusal::NotSecure;
    }
    // Whoever checked the certificate must have trusted nothing the listener
    // does not: each CA it checked against is one of the listener's own.
    if (m_tls.enabled && !m_tls.clientCa.isEmpty()) {
        QList<QSslCertificate> trusted;
        try {
            trusted = m_tls.serverConfiguration().caCertificates();
        } catch (const ComponentError &) {
            trusted.clear(); // unreadable now: trusts nobody
        }
        const QList<QSslCertificate> checkedBy = connection.PeerCheckedBy();
        if (checkedBy.isEmpty()
            || !std::all_of(checkedBy.begin(), checkedBy.end(),
                            [&trusted](const QSslCertificate &ca) { return trusted.contains(ca); })) {
            qCWarning(lcNet, "%s: peer %s refused, its certificate was not checked against ClientCa %s",
                      endpointName(index), qUtf8Printable(who), qUtf8Printable(m_tls.clientCa));
            ++owner.refusedTls; // as a failed handshake
            return PeerRefusal::NotTrusted;
        }
    }
    if (!keepsListening(index)) {
        // The listener's own socket takes the one peer of ServerPeers=1;
        // a further peer is over the limit however few are connected.
        if (own == Winsock::sckConnected || owner.connectedPeers() >= 1) {
            qCWarning(lcNet, "%s: peer %s refused, 1 of 1 peers connected", endpointName(index),
                      qUtf8Printable(who));
            ++owner.refusedLimit;
            return PeerRefusal::Full;
        }
    }
    if (!admitPeer(owner, std::make_unique<SocketEndpoint>(owner.row(), connection)))
        return PeerRefusal::Full;
    // Its maker may end it first (the console closing down): the hub lets go
    // of it at once, before anything could reach it again.
    connect(&connection, &QObject::destroyed, this, [this, index, gone = &connection] {
        SocketEndpoint &from = *m_endpoints[std::size_t(index)];
        const auto it = std::find_if(from.peers.begin(), from.peers.end(),
                                     [gone](const auto &peer) { return &peer->connection() == gone; });
        if (it == from.peers.end())
            return;
        const bool wasConnected = (*it)->connected();
        m_flow->removePeer(*gone);
        from.peers.erase(it);
        if (wasConnected)
            emit peersChanged(index, from.connectedPeers());
    });
    return PeerRefusal::None;
}

bool Engine::admitPeer(SocketEndpoint &owner, std::unique_ptr<SocketEndpoint> peer)
{
    const int index = owner.index();
    Connection &socket = peer->connection();
    const QString who = QStringLiteral("%1:%2").arg(socket.RemoteHostIP()).arg(socket.PeerPort());
    const int limit = m_network.peerLimit();
    if (owner.connectedPeers() >= limit) {
        if (!m_network.kickOldest) {
            qCWarning(lcNet, "%s: peer %s refused, %d of %d peers connected", endpointName(index),
                      qUtf8Printable(who), owner.connectedPeers(), limit);
            ++owner.refusedLimit;
            return false;
        }
        for (const auto &oldest : owner.peers) {
            if (!oldest->connected())
                continue;
            qCInfo(lcNet, "%s: oldest peer %s:%u closed to make room for %s", endpointName(index),
                   qUtf8Printable(oldest->connection().RemoteHostIP()),
                   unsigned(oldest->connection().PeerPort()), qUtf8Printable(who));
            oldest->connection().Close();
            peerGone(owner, false);
            break;
        }
    }
    SocketEndpoint &added = *owner.peers.emplace_back(std::move(peer));
    added.peerAccepted();
    m_flow->addPeer(index, socket);
    watchPeer(owner, added);
    if (owner.row().speaksRfc2217 && added.hasSocket()) {
        // Each peer has its own Telnet session and modem notices; the last
        // one to set a line value wins. A peer over another transport (a
        // browser's terminal) is raw: it knows nothing of Telnet, and an
        // 0xFF it types is a byte for the device, not a command.
        added.session = new RemoteSession(added, *m_serial, *m_flow, &socket);
        connect(added.session, &RemoteSession::overflowed, this, [this, &owner, &added](qint64 limit) {
            dropPeer(owner, added, QStringLiteral("held back more than %1 KiB").arg(limit / 1024));
        });
        added.session->start(m_network.rfc2217);
    }
    qCInfo(lcNet, "%s: peer connected from %s (%d of %d peers)", endpointName(index),
           qUtf8Printable(who), owner.connectedPeers(), limit);
    if (const QString security = socket.Security(); !security.isEmpty())
        qCInfo(lcNet, "%s: TLS with %s: %s", endpointName(index), qUtf8Printable(socket.RemoteHostIP()),
               qUtf8Printable(security));
    emit peersChanged(index, owner.connectedPeers());
    return true;
}

void Engine::watchPeer(SocketEndpoint &owner, SocketEndpoint &peer)
{
    Connection &socket = peer.connection();
    const int index = owner.index();
    connect(&socket, &Connection::DataArrival, this, [this, &owner, &peer] {
        runHandler("peer DataArrival", [&] { relay(peer, owner); });
    });
    connect(&socket, &Connection::PeerClosed, this, [this, &owner, &peer, index] {
        runHandler("peer Close", [&] {
            qCInfo(lcNet, "%s: peer %s:%u closed the connection", endpointName(index),
                   qUtf8Printable(peer.connection().RemoteHostIP()), unsigned(peer.connection().PeerPort()));
            // Sent to until the tick: it may have closed only its sending side.
            peerGone(owner, true);
        });
    });
    connect(&socket, &Connection::Error, this, [this, &owner, &peer, index](int number, const QString &text) {
        runHandler("peer Error", [&] {
            qCWarning(lcNet, "%s: peer %s:%u socket error %d, %s", endpointName(index),
                      qUtf8Printable(peer.connection().RemoteHostIP()),
                      unsigned(peer.connection().PeerPort()), number, qUtf8Printable(text));
            peer.connection().Close();
            peerGone(owner, true);
        });
    });
}

void Engine::peerGone(SocketEndpoint &owner, bool report)
{
    const int count = owner.connectedPeers();
    if (count == 0 && owner.row().speaksRfc2217)
        m_serial->restoreStoredLine();
    if (!std::exchange(m_reapPosted, true))
        QMetaObject::invokeMethod(this, [this] { reapPeers(); }, Qt::QueuedConnection);
    if (report)
        emit peersChanged(owner.index(), count);
}

void Engine::dropPeer(SocketEndpoint &owner, SocketEndpoint &peer, const QString &why)
{
    Connection &socket = peer.connection();
    if (socket.State() == Winsock::sckClosed)
        return;
    const qint64 held = socket.BytesToSend();
    ++m_droppedDestinations;
    m_droppedBytes += quint64(held);
    qCWarning(lcNet, "%s: peer %s:%u dropped with %lld bytes unsent: it %s", endpointName(owner.index()),
              qUtf8Printable(socket.RemoteHostIP()), unsigned(socket.PeerPort()), held,
              qUtf8Printable(why));
    socket.Abort(); // a reset: a cut stream must not pass for a complete one
    peerGone(owner, true);
}

void Engine::reapPeers()
{
    m_reapPosted = false;
    for (SocketEndpoint *owner : m_endpoints) {
        std::vector<std::unique_ptr<SocketEndpoint>> closed;
        std::erase_if(owner->peers, [&closed](std::unique_ptr<SocketEndpoint> &peer) {
            if (peer->connection().State() != Winsock::sckClosed)
                return false;
            closed.push_back(std::move(peer));
            return true;
        });
        for (const auto &peer : closed) {
            Connection &socket = peer->connection();
            m_flow->removePeer(socket);
            socket.disconnect(this);
            if (peer->session)
                peer->session->start(false); // its timer must not reach the peer any more
            if (peer->hasSocket())
                socket.deleteLater(); // the session with it
            else
                emit peerReleased(&socket); // its maker's
        }
    }
}

void Engine::tendPeers(int index)
{
    SocketEndpoint &owner = *m_endpoints[std::size_t(index)];
    bool letGo = false;
    for (std::size_t i = 0; i < owner.peers.size(); ++i) {
        SocketEndpoint &peer = *owner.peers[i];
        Connection &socket = peer.connection();
        if (socket.State() == Winsock::sckConnected || socket.State() == Winsock::sckClosed)
            continue;
        socket.StopSending();
        if (socket.BytesReceived() > 0 && !socket.ReceivePaused())
            relay(peer, owner);
        if (!peer.holding(m_flow->limits().stallMs)) {
            socket.Close();
            letGo = true;
        }
    }
    if (letGo)
        peerGone(owner, false);
}

void Engine::closePeers(int index)
{
    SocketEndpoint &owner = *m_endpoints[std::size_t(index)];
    if (owner.peers.empty())
        return;
    const bool had = owner.connectedPeers() > 0;
    for (const auto &peer : owner.peers)
        peer->connection().Close();
    peerGone(owner, had);
}

bool Engine::closePeer(int index, const QString &address, quint16 port)
{
    SocketEndpoint &owner = *m_endpoints[std::size_t(index)];
    const auto matches = [&](const Connection &c) {
        return c.State() == Winsock::sckConnected && c.PeerPort() == port
            && QHostAddress(c.RemoteHostIP()).isEqual(QHostAddress(address), QHostAddress::TolerantConversion);
    };
    for (const auto &peer : owner.peers) {
        if (!matches(peer->connection()))
            continue;
        qCInfo(lcNet, "%s: peer %s:%u closed", endpointName(index), qUtf8Printable(address), unsigned(port));
        peer->connection().Close();
        peerGone(owner, true);
        return true;
    }
    if (owner.row().listens && matches(owner.connection())) {
        qCInfo(lcNet, "%s: peer %s:%u closed", endpointName(index), qUtf8Printable(address), unsigned(port));
        owner.connection().Close();
        peerLeft(index);
        return true;
    }
    return false;
}

bool Engine::findSocket(const Connection *socket, SocketEndpoint **owner, SocketEndpoint **peer) const
{
    for (SocketEndpoint *endpoint : m_endpoints) {
        *owner = endpoint;
        *peer = nullptr;
        if (&endpoint->connection() == socket)
            return true;
        for (const auto &each : endpoint->peers) {
            *peer = each.get();
            if (&each->connection() == socket)
                return true;
        }
    }
    return false;
}

void Engine::peerAccepted(int index)
{
    m_endpoints[std::size_t(index)]->peerAccepted();
    if (m_endpoints[std::size_t(index)]->row().speaksRfc2217)
        m_session->start(m_network.rfc2217);
}

void Engine::peerLeft(int index)
{
    if (m_endpoints[std::size_t(index)]->row().speaksRfc2217)
        m_serial->restoreStoredLine();
}

void Engine::relayFromSerial(bool all)
{
    m_serial->takeInput(all);
    if (m_relayingSerial)
        return; // the outer handler relays it after the chunks before it
    const QScopedValueRollback relaying(m_relayingSerial, true);
    // The chunks of this delivery leave together when it ends (a lone chunk
    // at once): one segment for several reads.
    m_router->setGathering(true);
    while (m_serial->queued())
        m_router->fanOut(SerialNode, m_serial->nextChunk());
}

bool Engine::stillHolding(int index)
{
    SocketEndpoint &endpoint = *m_endpoints[std::size_t(index)];
    const Winsock &socket = endpoint.socket();
    if (socket.BytesReceived() > 0 && !socket.ReceivePaused())
        relayFromSocket(index);
    return endpoint.holding(m_flow->limits().stallMs);
}

void Engine::dropDestination(int index, const QString &why)
{
    Winsock &socket = m_endpoints[std::size_t(index)]->socket();
    const qint64 held = socket.BytesToSend();
    ++m_droppedDestinations;
    m_droppedBytes += quint64(held);
    qCWarning(lcNet, "%s dropped with %lld bytes unsent: it %s", endpointName(index), held,
              qUtf8Printable(why));
    // A reset, not a clean end: the peer must not take a cut stream for a
    // complete one.
    socket.Abort();
    emit destinationDropped(index, why);
}

void Engine::setNetwork(const NetworkSettings &network)
{
    m_network = network;
    const QList<QHostAddress> addresses = m_network.listenAddresses();
    const PeerFilter filter = m_network.peerFilter(nullptr);
    qCInfo(lcNet, "allowed peers: %s", qUtf8Printable(filter.describe()));
    for (SocketEndpoint *endpoint : m_endpoints) {
        if (!endpoint->row().listens)
            continue;
        Winsock &socket = endpoint->socket();
        socket.setLocalAddresses(addresses);
        socket.setRefusalText(m_network.refusalLine());
        if (filter.allowsEveryone())
            socket.setPeerFilter({});
        else
            socket.setPeerFilter([filter](const QHostAddress &peer) { return filter.allows(peer); });
        closeOutsiders(*endpoint, filter);
    }
    emit networkChanged();
}

// Who may connect applies to who is connected: a peer the new rules would
// refuse is closed, as a plain peer is when TLS goes on.
void Engine::closeOutsiders(SocketEndpoint &endpoint, const PeerFilter &filter)
{
    if (filter.allowsEveryone())
        return;
    const int index = endpoint.index();
    const auto outside = [&filter, index](const Connection &each) {
        if (filter.allows(QHostAddress(each.RemoteHostIP())))
            return false;
        qCInfo(lcNet, "%s: peer %s:%u closed, not in AllowedPeers now", endpointName(index),
               qUtf8Printable(each.RemoteHostIP()), unsigned(each.PeerPort()));
        return true;
    };
    Winsock &socket = endpoint.socket();
    const int state = socket.State();
    if ((state == Winsock::sckConnected || state == Winsock::sckClosing) && outside(socket)) {
        socket.Close();
        peerLeft(index);
    }
    bool any = false;
    for (const auto &peer : endpoint.peers) {
        if (peer->connected() && outside(peer->connection())) {
            peer->connection().Close();
            any = true;
        }
    }
    if (any)
        peerGone(endpoint, true);
}

QList<Engine::StoppedListener> Engine::setTls(const TlsSettings &tls)
{
    m_tls = tls;
    for (SocketEndpoint *endpoint : m_endpoints) {
        Winsock &socket = endpoint->socket();
        const auto setup = [this] { return m_tls.serverConfiguration(); };
        if (endpoint->row().listens) {
            socket.setServerTls(m_tls.enabled ? Winsock::TlsSetup(setup) : Winsock::TlsSetup());
            continue;
        }
        const bool secure = endpoint->row().role == EndpointRole::SoftwareForwarder ? m_tls.forwarder1
                                                                                     : m_tls.forwarder3;
        socket.setClientTls(secure ? Winsock::TlsSetup([this] { return m_tls.clientConfiguration(); })
                                   : Winsock::TlsSetup());
    }
    return reloadTls();
}

QList<Engine::StoppedListener> Engine::reloadTls()
{
    QList<StoppedListener> stopped;
    for (SocketEndpoint *endpoint : m_endpoints) {
        if (!endpoint->row().listens)
            continue;
        const int index = endpoint->index();
        Winsock &socket = endpoint->socket();
        try {
            socket.reloadServerTls();
        } catch (const ComponentError &failure) {
            socket.Close();
            closePeers(index);
            peerLeft(index);
            qCWarning(lcNet, "%s stopped listening: %s", endpointName(index), qUtf8Printable(failure.text()));
            stopped.append({index, failure.text()});
            continue;
        }
        if (!m_tls.enabled)
            continue;
        const auto plain = [](const Winsock &each) {
            return each.State() != Winsock::sckClosed && each.State() != Winsock::sckListening
                && !each.Encrypted();
        };
        const auto closed = [index](const Winsock &each) {
            qCInfo(lcNet, "%s: plain peer %s:%u closed, the listener speaks TLS only now", endpointName(index),
                   qUtf8Printable(each.RemoteHostIP()), unsigned(each.PeerPort()));
        };
        if (plain(socket)) {
            closed(socket);
            socket.Close();
            peerLeft(index);
        }
        bool any = false;
        for (const auto &peer : endpoint->peers) {
            if (peer->hasSocket() ? plain(peer->socket())
                                  : peer->connected() && peer->connection().Security().isEmpty()) {
                qCInfo(lcNet, "%s: plain peer %s:%u closed, the listener speaks TLS only now",
                       endpointName(index), qUtf8Printable(peer->connection().RemoteHostIP()),
                       unsigned(peer->connection().PeerPort()));
                peer->connection().Close();
                any = true;
            }
        }
        if (any)
            peerGone(*endpoint, true);
    }
    if (!stopped.isEmpty())
        emit listenersStopped();
    return stopped;
}

ByteCounters Engine::counters() const
{
    ByteCounters counters;
    for (const SocketEndpoint *endpoint : m_endpoints) {
        counters.received[std::size_t(endpoint->index())] = endpoint->received;
        counters.sent[std::size_t(endpoint->index())] = endpoint->sent;
        counters.lastReceived[std::size_t(endpoint->index())] = endpoint->lastReceivedMs;
        counters.lastSent[std::size_t(endpoint->index())] = endpoint->lastSentMs;
    }
    counters.received[SerialNode] = m_serial->received;
    counters.sent[SerialNode] = m_serial->sent;
    counters.lastReceived[SerialNode] = m_serial->lastReceivedMs;
    counters.lastSent[SerialNode] = m_serial->lastSentMs;
    counters.droppedDestinations = m_droppedDestinations;
    counters.droppedBytes = m_droppedBytes;
    return counters;
}

Engine::Snapshot Engine::snapshot() const
{
    const auto peerState = [](const SocketEndpoint &peer) {
        const Connection &socket = peer.connection();
        return PeerState {socket.RemoteHostIP(), socket.PeerPort(),    socket.State(),
                          peer.peerSinceMs(),    peer.peerReceived(), peer.peerSent(),
                          socket.PeerSubject()};
    };
    const auto hasPeer = [](const Connection &socket) {
        return socket.State() == Winsock::sckConnected || socket.State() == Winsock::sckClosing;
    };
    Snapshot snapshot;
    for (const SocketEndpoint *endpoint : m_endpoints) {
        EndpointState &state = snapshot.endpoints[std::size_t(endpoint->index())];
        const Winsock &socket = endpoint->socket();
        state.state = endpoint->state();
        state.listening = socket.State() == Winsock::sckListening;
        state.peer = socket.RemoteHostIP();
        state.peerPort = state.peer.isEmpty() ? 0 : socket.PeerPort();
        state.armed = endpoint->armed;
        state.peerCount = endpoint->connected() ? 1 : endpoint->connectedPeers();
        if (endpoint->row().listens && hasPeer(socket))
            state.peers.append(peerState(*endpoint));
        for (const auto &peer : endpoint->peers) {
            if (hasPeer(peer->connection()))
                state.peers.append(peerState(*peer));
        }
        if (state.peer.isEmpty() && !state.peers.isEmpty()) {
            // Serving several: the oldest stands for them where one is asked.
            state.peer = state.peers.front().address;
            state.peerPort = state.peers.front().port;
        }
        state.refused = endpoint->refused;
        state.refusedTls = endpoint->refusedTls;
        state.refusedLimit = endpoint->refusedLimit;
    }
    const SerialComm &comm = m_serial->comm();
    snapshot.serialOpen = comm.PortOpen();
    snapshot.comPort = comm.CommPort();
    snapshot.device = comm.DevicePath();
    snapshot.line = m_serial->line();
    snapshot.deviceLosses = m_serial->losses;
    snapshot.counters = counters();
    snapshot.startedMs = m_startedMs;
    return snapshot;
}

HubSettings::Session Engine::currentSession() const
{
    const auto armed = [this](EndpointRole role) {
        return m_endpoints[std::size_t(endpointOf(role))]->armed;
    };
    HubSettings::Session session;
    session.comPort = m_serial->comm().PortOpen() ? m_serial->comm().CommPort() : 0;
    session.server2 = armed(EndpointRole::ServerListener);
    session.forwarder1 = armed(EndpointRole::SoftwareForwarder);
    session.forwarder3 = armed(EndpointRole::DataHostForwarder);
    return session;
}

void Engine::releaseAll()
{
    if (m_serial && m_serial->comm().PortOpen()) {
        m_serial->comm().closeHandingOver();
        qCInfo(lcSerial, "COM port %d closed", m_serial->comm().CommPort());
    }
    for (SocketEndpoint *endpoint : m_endpoints) {
        if (!endpoint)
            continue;
        if (endpoint->socket().State() != Winsock::sckClosed)
            endpoint->socket().Close();
        for (const auto &peer : endpoint->peers)
            peer->connection().Close();
    }
}
