#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

// Numeric codes raised by Winsock (thrown in ComponentError or reported by the
// Error event). They follow the classic Winsock numbering so that the numbers
// an operator sees mean what they have always meant.
namespace WinsockCode {
inline constexpr int InvalidPropertyValue = 380;   // a port outside 0..65535
inline constexpr int BadState = 40006;             // call not allowed in this State
inline constexpr int InvalidArgument = 40014;      // unknown request id
inline constexpr int AddressInUse = 10048;         // Listen: port already bound
inline constexpr int AddressNotAvailable = 10049;  // Listen: cannot bind
inline constexpr int NetworkUnreachable = 10051;
inline constexpr int ConnectionAborted = 10053;
inline constexpr int ConnectionReset = 10054;
inline constexpr int NoBufferSpace = 10055;
inline constexpr int NotConnected = 10057;
inline constexpr int TimedOut = 10060;
inline constexpr int ConnectionRefused = 10061;
inline constexpr int HostUnreachable = 10065;
inline constexpr int HostNotFound = 11001;
inline constexpr int SocketFailure = 10050;        // any other OS-level failure
} // namespace WinsockCode

// One single-connection TCP endpoint raising its events on the window thread.
//
// States: 0 closed, 1 open, 2 listening, 3 connection pending, 4 resolving
// host, 5 host resolved, 6 connecting, 7 connected, 8 peer is closing the
// connection, 9 error.
//
// Every event is posted to Qt's event loop and delivered one at a time, never
// from inside a call on this object, so a handler may call any member.
class Winsock : public QObject
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
    [[nodiscard]] int State() const;

    // Protocol: only 0 (TCP) is accepted; anything else throws 380.
    void setProtocol(int protocol);
    [[nodiscard]] int Protocol() const { return 0; }

    // Local port used by Listen. Outside 0..65535 throws 380 and keeps the old
    // value. After a Listen on port 0 it reads the port the OS chose.
    void setLocalPort(qint64 port);
    [[nodiscard]] qint32 LocalPort() const;

    // Remote end used by Connect. A port outside 0..65535 throws 380.
    void setRemoteHost(const QString &host);
    [[nodiscard]] QString RemoteHost() const { return m_remoteHost; }
    void setRemotePort(qint64 port);
    [[nodiscard]] qint32 RemotePort() const { return m_remotePort; }

    // Ends listening or the connection, drops unread data and releases the OS
    // socket; State becomes 0. Safe in every state.
    void Close();

    // Listens on LocalPort on all IPv4 interfaces (address reuse on, so a
    // port can be listened on again right after Close). Throws 40006 unless
    // closed, 10048 when the port is taken, another code for other failures.
    void Listen();

    // Starts connecting to RemoteHost:RemotePort and returns at once. In 0, 8
    // or 9 it starts afresh; while a connect is already in progress (4, 5, 6)
    // it does nothing. Throws 40006 when listening or connected. The outcome
    // arrives as the Connect or the Error event.
    void Connect();

    // Makes the pending incoming connection `requestID` this instance's
    // connection (State 7). The instance must be closed first. Throws 40006
    // when not closed, 40014 when the id is unknown or already withdrawn.
    void Accept(qint32 requestID);

    // Queues the bytes for sending; never blocks. Throws 40006 unless State 7.
    void SendData(const QByteArray &data);

    // Everything received so far as one chunk, removed from the socket.
    [[nodiscard]] QByteArray GetData();

    // Bytes received and not yet read with GetData.
    [[nodiscard]] qint64 BytesReceived() const;

    // Bytes handed to SendData that the OS has not taken yet.
    [[nodiscard]] qint64 BytesToSend() const;

    // Peer address of the current connection, empty when there is none.
    [[nodiscard]] QString RemoteHostIP() const;

signals:
    // A peer wants to connect while listening. `requestID` is valid until the
    // connected handlers return; a request that nobody accepted is then closed.
    void ConnectionRequest(qint32 requestID);
    // A Connect has completed: State is 7.
    void Connected();
    // Bytes are waiting; `bytesTotal` is how many at the time of posting.
    void DataArrival(qint64 bytesTotal);
    // The peer closed the connection: State is 8. Unread data stays readable.
    void PeerClosed();
    // A connect failed or an open connection broke: State is 9.
    void Error(int number, const QString &description);

private:
    void attachSocket(QTcpSocket *socket);
    void detachSocket();
    void onNewConnection();
    void deliverConnectionRequest();
    void postDataArrival();
    void deliverDataArrival();
    void onSocketConnected();
    void onSocketDisconnected();
    void onSocketError();
    void postError(int number, const QString &description);
    void setStateValue(int state);

    int m_state = sckClosed;
    quint16 m_localPort = 0;
    QString m_remoteHost;
    qint32 m_remotePort = 0;
    QTcpServer *m_server = nullptr;    // owned while listening
    QTcpSocket *m_socket = nullptr;    // owned while open, connecting or connected
    QHash<qint32, QTcpSocket *> m_requests; // incoming connections not yet accepted
    qint32 m_nextRequestId = 1;
    bool m_dataArrivalPosted = false;
    quint64 m_generation = 0;          // bumps on Close; stale posted events are dropped
};
