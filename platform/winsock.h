#pragma once

#include "platform/connection.h"

#include "platform/event_gate.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QList>
#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>

#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;
class SendSide;

// Numeric codes raised by Winsock (thrown in ComponentError or reported by the
// Error event). They follow the classic Winsock numbering so that the numbers
// an operator sees mean what they have always meant. The Qt socket error behind
// each reported code is given on its line; the mapping lives in one function in
// winsock.cpp.
namespace WinsockCode {
inline constexpr int InvalidPropertyValue = 380;   // a port outside 0..65535, Protocol other than 0
inline constexpr int BadState = 40006;             // call not allowed in this State
inline constexpr int InvalidArgument = 40014;      // Accept: unknown or withdrawn request id
inline constexpr int PermissionDenied = 10013;     // SocketAccessError: e.g. a port below 1024 without privilege
inline constexpr int AddressInUse = 10048;         // AddressInUseError: Listen, port already bound
inline constexpr int AddressNotAvailable = 10049;  // SocketAddressNotAvailableError: cannot bind
inline constexpr int NetworkUnreachable = 10051;   // NetworkError "Network unreachable" (connect)
inline constexpr int ConnectionAborted = 10053;    // any other NetworkError: an open connection broke
inline constexpr int ConnectionReset = 10054;      // RemoteHostClosedError while still connecting
inline constexpr int NoBufferSpace = 10055;        // SocketResourceError: out of descriptors or memory
inline constexpr int NotConnected = 10057;         // (not raised: SendData off State 7 throws 40006)
inline constexpr int TimedOut = 10060;             // SocketTimeoutError: connect timed out
inline constexpr int ConnectionRefused = 10061;    // ConnectionRefusedError: nobody listens there
inline constexpr int HostUnreachable = 10065;      // NetworkError "Host unreachable" (connect)
inline constexpr int HostNotFound = 11001;         // HostNotFoundError: the name does not resolve
inline constexpr int SocketFailure = 10050;        // any other OS-level failure
inline constexpr int InvalidTlsSetup = 10022;      // TLS on, but no usable certificate, key or CA
} // namespace WinsockCode

// One single-connection TCP endpoint raising its events on the window thread.
//
// States: 0 closed, 1 open, 2 listening, 3 connection pending, 4 resolving
// host, 5 host resolved, 6 connecting, 7 connected, 8 peer is closing the
// connection, 9 error.
//
// Every event comes from Qt's event loop (posted, or DataArrival straight from
// the socket's read notification when nothing else of the connection waits)
// and is delivered one at a time, never from inside a call on this object,
// so a handler may call any member. An
// event is a plain signal emission: whatever a handler throws passes through
// here untouched (the relay core keeps exceptions from the event loop).
class Winsock : public Connection
{
    Q_OBJECT

public:
    enum StateValue : int {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckConnectionPending = 3,
        sckResolvingHost = 4,
        sckHostResolved = 5,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    Winsock(const Winsock &) = delete;
    Winsock &operator=(const Winsock &) = delete;

    // Current state number, read fresh on every call.
    [[nodiscard]] int State() const override;

    // Protocol: only 0 (TCP) is accepted; anything else throws 380.
    void setProtocol(int protocol);
    [[nodiscard]] int Protocol() const { return 0; }

    // Local port used by Listen. Outside 0..65535 throws 380 and keeps the old
    // value. Reads the port actually in use while listening (after a Listen on
    // port 0: the one the OS chose) or connected, otherwise the value set.
    void setLocalPort(qint64 port);
    [[nodiscard]] qint32 LocalPort() const;

    // Remote end used by Connect. A port outside 0..65535 throws 380.
    void setRemoteHost(const QString &host);
    [[nodiscard]] QString RemoteHost() const { return m_remoteHost; }
    void setRemotePort(qint64 port);
    [[nodiscard]] qint32 RemotePort() const { return m_remotePort; }

    // Ends listening or the connection, drops unread data and releases the OS
    // socket (and listener) at once; State becomes 0. Bytes queued by SendData
    // are handed to the OS as far as it takes them without waiting; the rest is
    // dropped. Events already posted are not delivered. A request being offered
    // by ConnectionRequest stays acceptable. Safe in every state.
    void Close() override;

    // Ends the connection with a reset rather than a clean end of stream: the
    // peer reads ECONNRESET. Bytes queued by SendData and not yet sent are
    // dropped. Otherwise as Close (listener, events, offered requests; State
    // becomes 0); safe in every state, and where there is no connection it
    // is exactly Close.
    void Abort() override;

    // The addresses Listen binds, all on one port (default: any address,
    // IPv4 and IPv6). Throws 380 for an empty list. Used by the next Listen.
    void setLocalAddresses(const QList<QHostAddress> &addresses);
    [[nodiscard]] const QList<QHostAddress> &LocalAddresses() const { return m_localAddresses; }

    // Which peers may connect while listening: a peer the filter refuses is
    // closed at once, raises PeerRefused and no ConnectionRequest. None set:
    // everyone may.
    using PeerFilter = std::function<bool(const QHostAddress &peer)>;
    void setPeerFilter(PeerFilter filter);

    // Where TLS comes from: called at each Listen (server side) or Connect
    // (client side) for the configuration to use, so that files changed on
    // disk take effect then. It throws ComponentError(InvalidTlsSetup) with
    // the reason when there is no usable configuration; that Listen or
    // Connect then throws it and nothing listens or connects in clear.
    // Empty (the default): plain TCP.
    using TlsSetup = std::function<QSslConfiguration()>;
    void setServerTls(TlsSetup setup);
    void setClientTls(TlsSetup setup);
    [[nodiscard]] bool ServerTls() const { return bool(m_serverTls); }
    // While listening: takes the server TLS setup anew for the connections
    // that come from now on; connected peers keep theirs. A listener whose
    // setup changed between plain and TLS carries on under the same
    // descriptors, so the port is never free and the OS backlog is kept;
    // connections it had taken but not yet offered are closed (they came
    // under the old rules). Throws as Listen does; the listener may then be
    // partly switched, and the caller closes it (fails closed).
    void reloadServerTls();
    // True while listening with TLS.
    [[nodiscard]] bool ListeningWithTls() const;
    // True when the current connection is encrypted.
    [[nodiscard]] bool Encrypted() const;
    // Plain text one TLS record carries at most.
    static constexpr qsizetype TlsRecordLimit = 16 * 1024;
    // Passes of the event loop gathered TLS bytes wait at most for it to idle.
    static constexpr int MaxSealPasses = 4;
    // A line a peer refused by the filter gets before the close (plain
    // listeners only; empty: nothing, the default).
    void setRefusalText(const QByteArray &text);
    // The current connection's TLS (peer's certificate subject, version,
    // cipher); empty for a plain one or none.
    [[nodiscard]] QString Security() const override;
    // The subject of the certificate the peer showed; empty for a plain
    // connection, a peer that showed none, or none at all.
    [[nodiscard]] QString PeerSubject() const override;

    // Listens on LocalPort on the local addresses (address reuse on, so a
    // port can be listened on again right after Close). Throws 40006 unless
    // closed, 10048 when the port is taken, another code for other failures.
    void Listen();

    // Starts connecting to RemoteHost:RemotePort and returns at once. In 0, 8
    // or 9 it starts afresh; while a connect is already in progress (4, 5, 6)
    // it does nothing. Throws 40006 when listening or connected. The outcome
    // arrives as the Connect or the Error event.
    void Connect();

    // Makes the pending incoming connection `requestID` this instance's
    // connection (State 7). The instance must be closed first: a handler of
    // ConnectionRequest calls Close() and then Accept(requestID). Throws 40006
    // when not closed, 40014 when the id is unknown or already withdrawn (ids
    // are unique in the process; only the instance that raised one accepts it).
    void Accept(qint32 requestID);
    // Makes the request `requestID` that `listener` raised this instance's
    // connection, while `listener` goes on listening: a listener that serves
    // several peers hands each one to an instance of its own. Throws as
    // Accept does (this instance must be closed).
    void Accept(Winsock &listener, qint32 requestID);

    // Queues the bytes for sending; never blocks. Throws 40006 unless
    // CanSend(), 10054 when the peer turns out to be gone entirely.
    void SendData(const QByteArray &data) override;

    // True while SendData takes bytes: connected (7), or the peer closed
    // (8) and may have closed only its sending side (a client that sends a
    // query, shuts its side and waits for the answer). That lasts until
    // StopSending, a Close or Connect, or until the connection refuses
    // bytes (the peer had closed entirely).
    [[nodiscard]] bool CanSend() const override;

    // After the peer closed (8): stops sending, hands the OS what it takes
    // now and ends the connection, so the peer reads the end of the stream.
    // State stays 8 and unread data stays readable. Nothing in other states.
    void StopSending() override;

    // While gathering, what SendData queues is kept here and handed to the
    // OS in one write when the gathering ends (BytesToSend counts it; Close
    // still hands it over). The relay gathers the chunks of one serial
    // delivery, so they leave as one segment instead of one each. An
    // encrypted connection goes on gathering until the event loop has nothing
    // more to do (deliveries posted behind this one join in; a few passes at
    // most), sealing TlsRecordLimit bytes into a record as soon as they are
    // there: records as large as what waits, no flush per delivery while
    // more is queued.
    void setGathering(bool on) override;

    // Everything received so far as one chunk, removed from the socket; empty
    // when nothing is waiting or there is no connection.
    [[nodiscard]] QByteArray GetData() override;

    // Bytes received and not yet read with GetData.
    [[nodiscard]] qint64 BytesReceived() const override;

    // Bytes handed to SendData that the OS has not taken yet.
    [[nodiscard]] qint64 BytesToSend() const override;

    // Peer address of the current connection, empty when there is none.
    [[nodiscard]] QString RemoteHostIP() const override;
    // Peer port of the current (or last) connection.
    [[nodiscard]] quint16 PeerPort() const override { return m_peerPort; }

    // While paused, DataArrival is not raised and at most ReadBufferLimit
    // received bytes are taken from the OS; TCP's flow control then holds
    // the peer. Resuming announces what waits. Lasts across connections.
    void setReceivePaused(bool paused) override;
    [[nodiscard]] bool ReceivePaused() const override { return m_receivePaused; }

    // OS descriptor of the current connection, -1 when there is none.
    [[nodiscard]] qintptr SocketHandle() const;

    // Connections the kernel holds for a listener until they are accepted.
    static constexpr int ListenBacklog = 1024;

    // Received bytes held here at most; beyond it the OS socket is not read.
    static constexpr qint64 ReadBufferLimit = 256 * 1024;

    // Keepalive probing of connected sockets: a peer that vanished without
    // closing is reported as an Error within idle + interval * count seconds.
    static constexpr int KeepAliveIdleSeconds = 10;
    static constexpr int KeepAliveIntervalSeconds = 5;
    static constexpr int KeepAliveProbes = 3;

signals:
    // A peer wants to connect while listening. `requestID` is valid until the
    // connected handlers return; a request that nobody accepted is then closed.
    void ConnectionRequest(qint32 requestID);
    // A peer the filter refused was closed at once, never offered.
    void PeerRefused(const QString &address, quint16 port);
    // A TLS peer's handshake failed or timed out; it was never offered.
    void HandshakeFailed(const QString &address, quint16 port, const QString &reason);
    // While listening, a connection could not be taken for want of
    // descriptors (again at each retry until one is taken): whoever holds
    // descriptors it can spare should give one back.
    void DescriptorsExhausted();
    // A Connect has completed (with TLS: the server's certificate verified):
    // State is 7.
    void Connected();
    // DataArrival (see Connection) is coalesced: at most one waits at a
    // time, and it is not raised when the bytes were already read by then.
    // PeerClosed (see Connection): State is 8; unread data stays readable,
    // see CanSend for sending. Error (see Connection): State is 9, `number`
    // one of WinsockCode.
    // BytesSent (see Connection) is emitted directly from Qt's write
    // notification, never from a call here.

private:
    template <typename Deliver>
    void post(Deliver &&deliver);
    void dropConnection(bool reset);
    void endSendSide(const QByteArray &last);
    void closeServer();
    [[nodiscard]] std::unique_ptr<QTcpServer> makeServer(const QSslConfiguration *tls);
    void watchServer(QTcpServer *server, bool tls);
    void attachSocket(QTcpSocket *socket);
    void adopt(QTcpSocket *socket);
    void onNewConnection();
    void writeNow(const QByteArray &data);
    void sealGathered(bool all);
    void sealWaiting();
    // An incoming connection taken from a listener: a TLS one as its socket
    // (its handshake is done), a plain one as its bare descriptor, wrapped
    // only when accepted so that nothing reads it before: a peer that sent
    // its query and closed its side meanwhile is still a peer to answer.
    struct Offered {
        QTcpSocket *socket = nullptr;
        qintptr descriptor = -1;
        explicit operator bool() const { return socket || descriptor >= 0; }
        [[nodiscard]] bool peer(QHostAddress *address, quint16 *port) const;
        void discard();
    };
    [[nodiscard]] Offered nextPending();
    // Closes a connection the filter refused, after the refusal line.
    void refuse(Offered &offered);
    void deliverConnectionRequest();
    void newGeneration();
    void onSocketReadyRead();
    void postDataArrival();
    void deliverDataArrival();
    void onSocketStateChanged(QAbstractSocket::SocketState socketState);
    void onSocketConnected();
    void onSocketDisconnected();
    void onSocketError(QAbstractSocket::SocketError error);
    void peerClosed(bool keepSending = false);
    void fail(int number, const QString &description);

    int m_state = sckClosed;
    quint16 m_localPort = 0;
    QString m_remoteHost;
    qint32 m_remotePort = 0;
    QString m_remoteIP;                // peer address, kept after Qt forgets it on disconnect
    QList<QTcpServer *> m_servers;     // owned while listening, one per local address
    QList<QHostAddress> m_localAddresses {QHostAddress(QHostAddress::Any)};
    PeerFilter m_peerFilter;
    QByteArray m_refusalText;
    TlsSetup m_serverTls;
    TlsSetup m_clientTls;
    quint16 m_peerPort = 0;
    QByteArray m_gathered;             // SendData's bytes while gathering
    bool m_gathering = false;
    bool m_sealPending = false;        // a TLS connection's gathered bytes wait for the event loop to idle
    int m_sealPasses = 0;              // passes of the event loop they have waited through
    bool m_watchingLoop = false;       // connected to the event dispatcher's aboutToBlock and awake
    QTcpSocket *m_socket = nullptr;    // owned while connecting or connected (also 8, 9)
    // A second descriptor of the connection: Qt closes its own on the peer's
    // end of stream, and this one then carries what is still sent (m_sendSide).
    qintptr m_spare = -1;
    SendSide *m_sendSide = nullptr;
    bool m_sendSideNotifying = false;  // its write notification is raising BytesSent
    QHash<qint32, Offered> m_requests; // incoming connections being offered (owned)
    bool m_requestPosted = false;      // a ConnectionRequest is posted or being offered
    bool m_dataArrivalPosted = false;  // a DataArrival is posted and not yet delivered
    quint64 m_generation = 0;          // bumps on Close/Connect/Accept; stale posted events are dropped
    EventGate m_gate;                  // events of this generation posted and not yet delivered
    QTcpSocket *m_notifyingSocket = nullptr; // its read notification is raising DataArrival
    bool m_receivePaused = false;      // the relay holds received bytes back
};
