#include "engine/hub.h"

#include "engine/serial_bridge.h"
#include "engine/socket_endpoint.h"
#include "platform/component_error.h"
#include "platform/handler_guard.h"
#include "platform/log_categories.h"
#include "platform/log_scope.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"

#include <QScopedValueRollback>
#include <QTimer>

#include <utility>

namespace {
// The supervision tick's period.
constexpr int TickMs = 3000;
} // namespace

Hub::Hub(const QString &configDir, QObject *parent) : Engine(configDir, parent)
{
    m_listenPort.fill(-1);
}

Hub::~Hub() = default;

void Hub::openPort(int number)
{
    m_lostPort = 0;
    // The operator's line settings, whatever a remote peer set before.
    serial().open(number);
    emit portChanged();
}

void Hub::closePort()
{
    m_lostPort = 0;
    SerialComm &comm = serial().comm();
    if (!comm.PortOpen())
        return;
    const int number = comm.CommPort();
    comm.setPortOpen(false);
    qCInfo(lcSerial, "COM port %d closed", number);
    emit portChanged();
}

qint32 Hub::listen(int index, qint32 port, bool keepIfListening)
{
    Winsock &socket = endpoint(index).socket();
    m_listenPort[std::size_t(index)] = port;
    qint32 &chosen = m_chosenPort[std::size_t(index)];
    if (port != 0)
        chosen = 0;
    const qint32 bind = port == 0 ? chosen : port;
    // Only a row the tick keeps up is armed, and only once it listens.
    bool &armed = endpoint(index).armed;
    const bool arms = endpoint(index).row().rearm != Rearm::Never;
    if (keepIfListening && socket.State() == Winsock::sckListening && socket.LocalPort() == bind) {
        armed = armed || arms;
        return bind;
    }
    socket.Close();
    closePeers(index);
    peerLeft(index);
    socket.setProtocol(0);
    socket.setLocalPort(bind);
    socket.Listen();
    if (port == 0 && chosen == 0) {
        chosen = socket.LocalPort();
        qCInfo(lcNet, "%s listening on port %d, chosen by the system and kept until Close",
               endpointName(index), chosen);
    } else {
        qCInfo(lcNet, "%s listening on port %d", endpointName(index), socket.LocalPort());
    }
    armed = armed || arms;
    emit endpointChanged(index);
    return socket.LocalPort();
}

void Hub::stopListening(int index)
{
    endpoint(index).armed = false;
    m_chosenPort[std::size_t(index)] = 0;
    endpoint(index).socket().Close();
    closePeers(index);
    peerLeft(index);
    qCInfo(lcNet, "%s stopped listening", endpointName(index));
    emit endpointChanged(index);
}

void Hub::connectTo(int index, const QString &host, qint32 port)
{
    // Armed first: even a Connect that fails below leaves the tick retrying.
    endpoint(index).armed = true;
    Winsock &socket = endpoint(index).socket();
    if (socket.State() == Winsock::sckConnected)
        return;
    // Connecting, closing or in error: start over.
    if (socket.State() > Winsock::sckClosed)
        socket.Close();
    socket.setRemoteHost(host);
    socket.setRemotePort(port);
    try {
        socket.Connect();
    } catch (const ComponentError &) {
        // A refused request is put right by the socket's events and the tick.
    }
    emit endpointChanged(index);
}

void Hub::closeForwarder(int index)
{
    endpoint(index).armed = false;
    try {
        endpoint(index).socket().Close();
    } catch (const ComponentError &) {
        // The state shown is still the true one.
    }
    qCInfo(lcNet, "%s closed", endpointName(index));
    emit endpointChanged(index);
}

void Hub::serve()
{
    for (int i = 0; i < EndpointCount; ++i) {
        Winsock *socket = &endpoint(i).socket();
        const auto handle = [this](const char *what, const auto &handler) {
            const LogScope scope(name());
            runHandler(what, handler);
        };
        connect(socket, &Winsock::ConnectionRequest, this, [this, i, handle](qint32 requestID) {
            handle("connection request", [&] { (void)acceptConnection(i, requestID); });
        });
        connect(socket, &Winsock::Connected, this, [this, i, handle] {
            handle("connected", [&] {
                qCInfo(lcNet, "%s connected", endpointName(i));
                logSecurity(i);
                peerAccepted(i);
                emit endpointChanged(i);
            });
        });
        connect(socket, &Winsock::DataArrival, this,
                [this, i, handle] { handle("data arrival", [&] { relayFromSocket(i); }); });
        connect(socket, &Winsock::PeerClosed, this,
                [this, i, handle] { handle("peer closed", [&] { connectionClosed(i); }); });
        connect(socket, &Winsock::Error, this, [this, i, handle](int number, const QString &text) {
            handle("socket error", [&] { connectionFailed(i, number, text); });
        });
        connect(socket, &Winsock::PeerRefused, this, [this, i](const QString &address, quint16 port) {
            const LogScope scope(name());
            qCWarning(lcNet, "%s: peer %s:%u refused, not in AllowedPeers", endpointName(i),
                      qUtf8Printable(address), unsigned(port));
        });
        connect(socket, &Winsock::HandshakeFailed, this,
                [this, i](const QString &address, quint16 port, const QString &reason) {
                    const LogScope scope(name());
                    qCWarning(lcNet, "%s: peer %s:%u refused, TLS: %s", endpointName(i),
                              qUtf8Printable(address), unsigned(port), qUtf8Printable(reason));
                });
    }
    connect(&serial().comm(), &SerialComm::OnComm, this, [this] {
        const LogScope scope(name());
        runHandler("serial event", [&] { (void)serialEvent(); });
    });
    connect(this, &Engine::destinationDropped, this, [this](int index, const QString &why) {
        connectionFailed(index, WinsockCode::TimedOut, why);
    });
    connect(this, &Engine::peersChanged, this, [this](int index, int count) {
        qCInfo(lcNet, "%s: %d %s", EndpointRows[std::size_t(index)].name, count,
               count == 1 ? "peer" : "peers");
        emit endpointChanged(index);
    });
    setReopensLostPort(true);
    m_tick = new QTimer(this);
    m_tick->setInterval(TickMs);
    connect(m_tick, &QTimer::timeout, this, [this] {
        const LogScope scope(name());
        runHandler("tick", [&] { tick(); });
    });
    m_tick->start();
}

QString Hub::setLine(const LineSettings &line, bool persist)
{
    SerialBridge &bridge = serial();
    if (bridge.comm().PortOpen()) {
        if (QString refused = bridge.applyToOpenPort(line); !refused.isEmpty())
            return refused;
    }
    bridge.setStoredLine(line);
    if (persist) {
        try {
            settings().setLine(line);
        } catch (const ComponentError &error) {
            qCWarning(lcApp, "the line settings could not be stored: %s", error.what());
        }
    }
    bridge.takeLine(line, "");
    return {};
}

bool Hub::acceptConnection(int index, qint32 requestID)
{
    if (!isEndpoint(index))
        return false;
    // A listener that goes on listening makes the peer a connection of the
    // endpoint. So does one whose own socket would take it while a peer
    // over another transport (a browser's terminal) holds its one place:
    // the newcomer then meets the peer limit as any further peer does.
    if (keepsListening(index) || endpoint(index).connectedPeers() > 0) {
        try {
            acceptPeer(index, requestID);
        } catch (const ComponentError &) {
            return false; // the peer withdrew before we took it
        }
        return keepsListening(index); // else the own socket took nothing
    }
    Winsock &socket = endpoint(index).socket();
    if (socket.State() != Winsock::sckClosed)
        socket.Close();
    try {
        socket.Accept(requestID);
    } catch (const ComponentError &) {
        // The peer withdrew: the endpoint stays without a connection; the
        // tick re-arms a listener that is armed.
        emit endpointChanged(index);
        return false;
    }
    qCInfo(lcNet, "%s: peer connected from %s:%u", endpointName(index),
           qUtf8Printable(socket.RemoteHostIP()), unsigned(socket.PeerPort()));
    logSecurity(index);
    peerAccepted(index);
    emit endpointChanged(index);
    return true;
}

void Hub::connectionClosed(int index)
{
    if (!isEndpoint(index))
        return;
    qCInfo(lcNet, "%s: peer closed the connection", endpointName(index));
    emit endpointChanged(index);
}

void Hub::connectionFailed(int index, int number, const QString &description)
{
    if (!isEndpoint(index))
        return;
    qCWarning(lcNet, "%s: socket error %d, %s", endpointName(index), number,
              qUtf8Printable(description));
    endpoint(index).socket().Close();
    peerLeft(index);
    emit endpointChanged(index);
}

bool Hub::serialEvent()
{
    SerialComm &comm = serial().comm();
    const int event = comm.CommEvent();
    if (event == CommEventCode::DeviceLost) {
        // The component closed the port; the tick may open it again.
        qCWarning(lcSerial, "COM port %d was lost", comm.CommPort());
        m_lostPort = comm.CommPort();
        m_reopenFailureLogged = false;
        emit portChanged();
        // Whatever the device delivered before it went is still relayed.
        relayFromSerial(true);
        return true;
    }
    if (event == CommEventCode::Receive)
        relayFromSerial(false);
    // Send events, line changes and line errors need nothing.
    return false;
}

void Hub::tick(const std::function<void(int)> &relisten)
{
    try {
        // First, so that a refused Connect below cannot keep the device away.
        reopenLostPort();
        // A peer that closed may have closed only its sending side and still
        // wait for an answer: it is sent to until here.
        for (int index = 0; index < EndpointCount; ++index)
            endpoint(index).socket().StopSending();
        for (int index : TickOrder)
            tendPeers(index);
        // A forwarder connects to the host and port it holds from the last
        // Connect; a connect in progress is left to finish. A socket whose
        // peer closed is only let go once what it received has been relayed.
        for (int index : TickOrder) {
            SocketEndpoint &each = endpoint(index);
            const EndpointRow &row = each.row();
            if (row.rearm == Rearm::Never || !each.armed || each.state() == Winsock::sckConnected
                || stillHolding(index))
                continue;
            if (row.rearm == Rearm::Connect) {
                each.socket().Connect();
            } else if (relisten) {
                relisten(index);
            } else {
                try {
                    listen(index, std::max(m_listenPort[std::size_t(index)], 0), true);
                } catch (const ComponentError &error) {
                    qCWarning(lcNet, "%s cannot listen: error %d, %s", endpointName(index),
                              error.code(), qUtf8Printable(error.text()));
                }
            }
        }
    } catch (const ComponentError &) {
        // Ends this tick on purpose: the next one starts over.
    }
}

void Hub::reopenLostPort()
{
    const int number = m_lostPort;
    if (!m_reopensLostPort || number == 0 || serial().comm().PortOpen()
        || ports().devicePath(number).isEmpty())
        return;
    try {
        serial().open(number);
    } catch (const ComponentError &error) {
        // Back but not usable yet (its permissions not set yet, another
        // program holding it): the next tick tries again.
        if (!std::exchange(m_reopenFailureLogged, true))
            qCWarning(lcSerial, "COM port %d is back but cannot be opened yet: error %d, %s",
                      number, error.code(), qUtf8Printable(error.text()));
        return;
    }
    m_lostPort = 0;
    qCInfo(lcSerial, "COM port %d is back and open again", number);
    emit portChanged();
}

void Hub::logSecurity(int index) const
{
    const Winsock &socket = endpoint(index).socket();
    if (const QString security = socket.Security(); !security.isEmpty())
        qCInfo(lcNet, "%s: TLS with %s: %s", endpointName(index), qUtf8Printable(socket.RemoteHostIP()),
               qUtf8Printable(security));
}

void Hub::shutDown()
{
    if (m_tick)
        m_tick->stop();
    m_lostPort = 0;
    releaseAll();
}
