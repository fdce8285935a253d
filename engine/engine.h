#pragma once

#include "engine/byte_counters.h"
#include "engine/endpoint_table.h"
#include "engine/hub_settings.h"
#include "engine/network_settings.h"
#include "engine/tls_settings.h"
#include "platform/line_settings.h"
#include "platform/port_table.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <memory>

class Connection;
class FlowControl;
class RemoteSession;
class Router;
class SerialBridge;
class SocketEndpoint;
class Winsock;

// The relay without its window: the four socket endpoints, the serial
// bridge, the router, flow control, the RFC 2217 session, the settings and
// the port table. It shows nothing and asks nothing; the handlers above it
// decide what the operator sees and call it.
class Engine : public QObject
{
    Q_OBJECT

public:
    // What the relay is doing now, for the Log window and for what reports
    // on the hub from outside.
    struct PeerState {
        QString address;
        quint16 port = 0;
        int state = 0;       // Winsock state number: 7, or 8 once it closed
        qint64 sinceMs = 0;  // when it was accepted, ms since the epoch
        quint64 received = 0; // bytes each way since then
        quint64 sent = 0;
        QString tlsSubject;  // its certificate's subject; empty: plain, or none shown
    };
    struct EndpointState {
        int state = 0;       // Winsock state number; 7 while any peer is connected
        bool listening = false; // its own socket listens (also while it serves peers)
        QString peer;        // peer address, empty when none
        quint16 peerPort = 0;
        bool armed = false;
        int peerCount = 0;   // peers connected now
        // A listener's peers, oldest first: the one its own socket accepted,
        // or each one it serves while it goes on listening; closed ones
        // that still have bytes to hand over too.
        QList<PeerState> peers;
        quint64 refused = 0; // peers turned away by AllowedPeers
        quint64 refusedTls = 0; // peers whose TLS handshake failed, or that lacked it
        quint64 refusedLimit = 0; // peers closed at once: the peer limit was reached
    };
    struct Snapshot {
        std::array<EndpointState, EndpointCount> endpoints {};
        bool serialOpen = false;
        int comPort = 0;     // the port open (or last configured)
        QString device;      // its device file while open
        LineSettings line;   // in effect
        quint64 deviceLosses = 0; // times the open device vanished
        ByteCounters counters;
        qint64 startedMs = 0; // when the engine was made, ms since the epoch
    };

    // `configDir` holds the settings files and the port table.
    explicit Engine(const QString &configDir, QObject *parent = nullptr);
    ~Engine() override;

    // The hub's name: its section of a devices file, which prefixes its log
    // lines (LogScope) and labels its metrics. Empty for the one hub of a run.
    [[nodiscard]] const QString &name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }

    [[nodiscard]] SocketEndpoint &endpoint(int index) const { return *m_endpoints[std::size_t(index)]; }
    [[nodiscard]] SerialBridge &serial() const { return *m_serial; }
    [[nodiscard]] Router &router() const { return *m_router; }
    [[nodiscard]] FlowControl &flow() const { return *m_flow; }
    [[nodiscard]] RemoteSession &session() const { return *m_session; }
    [[nodiscard]] HubSettings &settings() { return m_settings; }
    [[nodiscard]] const PortTable &ports() const { return m_ports; }
    [[nodiscard]] PortTable &ports() { return m_ports; }

    // Relays what waits on endpoint `index` as one chunk: counted, the
    // Telnet commands of an RFC 2217 peer answered and taken out, fanned out.
    void relayFromSocket(int index);

    // True when listener `index` goes on listening while it serves peers
    // ([network] ServerPeers other than 1 on a row that shares peers); its
    // connection requests then go to acceptPeer.
    [[nodiscard]] bool keepsListening(int index) const;
    // Takes the request `requestID` of listener `index` as a further peer
    // while the listener goes on listening. Over the peer limit the newcomer
    // is closed at once, or with ServerPeersKickOldest the oldest connected
    // peer instead; either is logged. Reports peersChanged. Throws
    // ComponentError when the request was withdrawn.
    void acceptPeer(int index, qint32 requestID);
    // Why a peer over another transport was not taken.
    enum class PeerRefusal { None, NotListening, NotAllowed, NotSecure, NotTrusted, Full };
    // Takes `connection` (a browser's terminal, say) as a further peer of
    // listener `index` (a row that shares peers), under the rules a TCP peer
    // meets: the listener listens, AllowedPeers names the address, the peer
    // limit (or ServerPeersKickOldest), and TLS when the listener speaks TLS
    // only (with a certificate when it asks for one, checked against no CA
    // but the listener's own ClientCa: NotTrusted). Counted and logged as a TCP peer;
    // refused, nothing is done to it. Once it is let go, peerReleased.
    PeerRefusal addPeer(int index, Connection &connection);
    // Tick: peers of `index` that closed get no more bytes and are let go
    // once what they sent has been relayed (or has waited the stall time).
    void tendPeers(int index);
    // Closes every peer of `index` (its Listen or Close was pressed).
    void closePeers(int index);
    // Closes the one connected peer of `index` at `address`:`port` (logged);
    // false when there is none.
    bool closePeer(int index, const QString &address, quint16 port);
    // Starts the session of a peer just accepted on `index`.
    void peerAccepted(int index);
    // The connection on `index` ended (closed, failed, dropped, let go): the
    // line goes back to the operator's settings if an RFC 2217 peer there
    // changed them.
    void peerLeft(int index);
    // Takes a receive event's bytes (with `all`, everything a lost device
    // left) and, unless a relay of serial chunks is already running further
    // out, relays the queue oldest first.
    void relayFromSerial(bool all);

    // True while endpoint `index`, no longer connected, still holds received
    // bytes that its destinations may yet take; relays what it can first.
    [[nodiscard]] bool stillHolding(int index);

    // Cuts destination `index` off with a reset (its peer must not take a
    // cut stream for a complete one), counts it, and reports destinationDropped.
    void dropDestination(int index, const QString &why);

    [[nodiscard]] const NetworkSettings &network() const { return m_network; }
    // Takes `network`: where listeners listen from their next Listen on,
    // who may connect at once. Checked by the caller (NetworkSettings::problem).
    // Reports networkChanged.
    void setNetwork(const NetworkSettings &network);

    [[nodiscard]] const TlsSettings &tls() const { return m_tls; }
    // A listener that stopped because its TLS files could not be used.
    struct StoppedListener {
        int index = 0;
        QString why;
    };
    // Takes `tls` and applies it at once (reloadTls); the forwarders use it
    // from their next Connect. Checked by the caller (TlsSettings::problem).
    QList<StoppedListener> setTls(const TlsSettings &tls);
    // Applies the TLS settings, files read again, to the listeners
    // listening now: a plain listener turns to TLS (or back), and new files
    // or another client CA hold from the next connection on. A plain peer
    // still connected to a listener that now speaks TLS only is closed,
    // with a log line; TLS peers keep their sessions. A listener whose files
    // cannot be used stops listening (fails closed), is returned and
    // reported by listenersStopped.
    QList<StoppedListener> reloadTls();

    // Counters of every node and the drops.
    [[nodiscard]] ByteCounters counters() const;
    [[nodiscard]] Snapshot snapshot() const;
    // What runs now, as restoring it would redo it.
    [[nodiscard]] HubSettings::Session currentSession() const;

    // Closes the serial port and every open socket, handing queued output to
    // the OS.
    void releaseAll();

signals:
    // Destination `index` was cut off; the handlers show it as a failure.
    void destinationDropped(int index, const QString &why);
    // Listener `index` that serves several peers now has `count` connected.
    void peersChanged(int index, int count);
    // A listener could not take a connection for want of descriptors:
    // whatever holds some that the relay does not need should give one up.
    void descriptorsExhausted();
    // setNetwork took new settings: what a listener offers (RFC 2217, its
    // address, who may connect) may have changed.
    void networkChanged();
    // reloadTls stopped listeners whose TLS files could not be used.
    void listenersStopped();
    // A connection addPeer took is let go: the hub holds it no more.
    void peerReleased(Connection *connection);

private:
    void relay(SocketEndpoint &source, SocketEndpoint &owner);
    void watchPeer(SocketEndpoint &owner, SocketEndpoint &peer);
    // Takes `peer` under the peer limit; false when it is over it and refused.
    bool admitPeer(SocketEndpoint &owner, std::unique_ptr<SocketEndpoint> peer);
    // `peer` of `owner` was closed: the line goes back to the operator's
    // once no RFC 2217 peer is left, the count is reported, and the peer is
    // removed after the current event.
    void peerGone(SocketEndpoint &owner, bool report);
    // Closes the peers of listener `endpoint` that `filter` would refuse now.
    void closeOutsiders(SocketEndpoint &endpoint, const PeerFilter &filter);
    void dropPeer(SocketEndpoint &owner, SocketEndpoint &peer, const QString &why);
    void reapPeers();
    // The endpoint and peer that own `socket`; false when none does.
    bool findSocket(const Connection *socket, SocketEndpoint **owner, SocketEndpoint **peer) const;

    QString m_name;
    HubSettings m_settings;
    PortTable m_ports;
    NetworkSettings m_network;
    TlsSettings m_tls;
    std::array<SocketEndpoint *, EndpointCount> m_endpoints {};
    std::array<std::unique_ptr<SocketEndpoint>, EndpointCount> m_owned;
    SerialBridge *m_serial = nullptr;
    FlowControl *m_flow = nullptr;
    RemoteSession *m_session = nullptr;
    Router *m_router = nullptr;
    std::array<Connection *, EndpointCount> m_sockets {}; // flow control's view
    bool m_relayingSerial = false;
    bool m_reapPosted = false;
    quint64 m_droppedDestinations = 0;
    quint64 m_droppedBytes = 0;
    qint64 m_startedMs = 0;
};
