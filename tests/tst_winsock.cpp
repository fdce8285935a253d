// Winsock against real loopback peers: QTcpSocket/QTcpServer in the test are
// the other side, and every port is chosen by the OS.

#include "platform/component_error.h"
#include "platform/winsock.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

// > 0 while the test is inside a call on a Winsock: a signal that arrives then
// was emitted synchronously, which the API forbids.
int g_inCall = 0;

template <typename F>
decltype(auto) call(F &&f)
{
    struct Depth {
        Depth() { ++g_inCall; }
        ~Depth() { --g_inCall; }
    } depth;
    return f();
}

// The ComponentError code a call throws, 0 when it throws nothing.
template <typename F>
int thrownCode(F &&f)
{
    try {
        call(f);
    } catch (const ComponentError &error) {
        return error.code();
    }
    return 0;
}

// Runs the event loop until `done` or the timeout; wakes at least every 5 ms.
template <typename Pred>
bool waitFor(Pred done, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void settle(int ms)
{
    waitFor([] { return false; }, ms);
}

int fdCount()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1; // the directory's own descriptor
}

quint16 portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return 0;
}

// TCP_NODELAY and SO_KEEPALIVE of the process's TCP socket local:peer, found
// by its ports among the open descriptors. found stays false if there is none.
struct TcpOptions {
    bool found = false;
    int noDelay = 0;
    int keepAlive = 0;
};

TcpOptions tcpOptionsOf(quint16 localPort, quint16 peerPort)
{
    TcpOptions options;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return options;
    while (const dirent *entry = readdir(dir)) {
        bool ok = false;
        const int fd = QByteArray(entry->d_name).toInt(&ok);
        if (!ok)
            continue;
        sockaddr_storage local {}, peer {};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLength) != 0
            || getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
            continue;
        if (portOf(local) != localPort || portOf(peer) != peerPort)
            continue;
        socklen_t length = sizeof(int);
        getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &options.noDelay, &length);
        length = sizeof(int);
        getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &options.keepAlive, &length);
        options.found = true;
        break;
    }
    closedir(dir);
    return options;
}

// The address the process's listening TCP socket on `port` is bound to, as
// text; empty if there is none.
QString listeningAddressOf(quint16 port)
{
    QString found;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return found;
    while (const dirent *entry = readdir(dir)) {
        bool ok = false;
        const int fd = QByteArray(entry->d_name).toInt(&ok);
        if (!ok)
            continue;
        sockaddr_storage local {};
        socklen_t length = sizeof local;
        int listening = 0;
        socklen_t flagLength = sizeof listening;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0
            || portOf(local) != port
            || getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagLength) != 0
            || !listening)
            continue;
        found = QHostAddress(reinterpret_cast<const sockaddr *>(&local)).toString();
        break;
    }
    closedir(dir);
    return found;
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    // Make sure the awkward bytes are there, whatever the generator gave.
    bytes[0] = '\0';
    bytes[1] = char(0xFF);
    bytes[size / 2] = '\0';
    bytes[size - 1] = char(0xFF);
    return bytes;
}

// Where two byte arrays first differ, -1 when equal.
qsizetype firstDifference(const QByteArray &a, const QByteArray &b)
{
    const qsizetype common = qMin(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        if (a[i] != b[i])
            return i;
    }
    return a.size() == b.size() ? -1 : common;
}

// Records the events of one Winsock, in order, and counts those raised
// synchronously inside a call. Also the context of the connections.
class EventLog : public QObject
{
public:
    explicit EventLog(Winsock &socket)
    {
        connect(&socket, &Winsock::ConnectionRequest, this,
                [this](qint32) { add(QStringLiteral("ConnectionRequest")); });
        connect(&socket, &Winsock::Connected, this, [this] { add(QStringLiteral("Connected")); });
        connect(&socket, &Winsock::DataArrival, this,
                [this](qint64) { add(QStringLiteral("DataArrival")); });
        connect(&socket, &Winsock::PeerClosed, this, [this] { add(QStringLiteral("PeerClosed")); });
        connect(&socket, &Winsock::Error, this, [this](int number, const QString &) {
            add(QStringLiteral("Error"));
            errors.push_back(number);
        });
    }

    [[nodiscard]] qsizetype count(const QString &name) const { return entries.count(name); }

    QStringList entries;
    std::vector<int> errors;
    int synchronous = 0;

private:
    void add(const QString &name)
    {
        entries.append(name);
        if (g_inCall > 0)
            ++synchronous;
    }
};

// The window's way to take a request: Close() on the listening instance, then
// Accept(id). Lives as long as `context`.
void acceptRequests(Winsock &socket, QObject *context)
{
    QObject::connect(&socket, &Winsock::ConnectionRequest, context, [&socket](qint32 id) {
        call([&] {
            socket.Close();
            socket.Accept(id);
        });
    });
}

std::unique_ptr<QTcpSocket> connectPeer(quint16 port)
{
    auto peer = std::make_unique<QTcpSocket>();
    peer->connectToHost(QHostAddress::LocalHost, port);
    return peer;
}

bool isConnected(const std::unique_ptr<QTcpSocket> &peer)
{
    return peer->state() == QAbstractSocket::ConnectedState;
}

bool isUnconnected(const std::unique_ptr<QTcpSocket> &peer)
{
    return peer->state() == QAbstractSocket::UnconnectedState;
}

// Listens on `port` (0: chosen by the OS), lets a peer connect and accepts it
// the window's way. True once both ends are connected.
bool acceptPeer(Winsock &socket, std::unique_ptr<QTcpSocket> &peer, quint16 port = 0)
{
    QObject handler;
    acceptRequests(socket, &handler);
    call([&] {
        socket.setLocalPort(port);
        socket.Listen();
    });
    peer = connectPeer(quint16(socket.LocalPort()));
    return waitFor([&] { return socket.State() == Winsock::sckConnected && isConnected(peer); });
}

// A port nobody listens on (taken from the OS, then given back).
quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// Runs `action` just before the first posted event reaches the Winsock, so
// that the event was posted before the action and is delivered after it.
class BeforeFirstEvent : public QObject
{
public:
    explicit BeforeFirstEvent(std::function<void()> action)
        : m_action(std::move(action))
    {
    }

    bool fired = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!fired && event->type() == QEvent::MetaCall) {
            fired = true;
            m_action();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_action;
};

} // namespace

class TestWinsock : public QObject
{
    Q_OBJECT

private slots:
    void portAndProtocolRanges_data();
    void portAndProtocolRanges();
    void callsRefusedInWrongState();
    void listenAndAcceptOnePeer();
    void listenOnTakenPortThrows10048_data();
    void listenOnTakenPortThrows10048();
    void relistenRightAfterClose_data();
    void relistenRightAfterClose();
    void peerCloseAfterData_data();
    void peerCloseAfterData();
    void connectRefused();
    void connectByNameOrAddress_data();
    void connectByNameOrAddress();
    void connectDuringConnectDoesNotRestart();
    void megabyteBothWays_data();
    void megabyteBothWays();
    void unacceptedRequestIsClosed_data();
    void unacceptedRequestIsClosed();
    void requestsOfferedOneAtATime_data();
    void requestsOfferedOneAtATime();
    void noDescriptorLeak_data();
    void noDescriptorLeak();
    void eventsNeverSynchronous();
    void eventsPostedBeforeCloseAreDropped_data();
    void eventsPostedBeforeCloseAreDropped();
    void sendDataOutsideConnectedThrows_data();
    void sendDataOutsideConnectedThrows();
};

void TestWinsock::portAndProtocolRanges_data()
{
    QTest::addColumn<qint64>("port");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("0") << qint64(0) << true;
    QTest::newRow("65535") << qint64(65535) << true;
    QTest::newRow("-1") << qint64(-1) << false;
    QTest::newRow("65536") << qint64(65536) << false;
    QTest::newRow("2^32+80") << (qint64(1) << 32) + 80 << false; // must not wrap to 80
}

void TestWinsock::portAndProtocolRanges()
{
    QFETCH(qint64, port);
    QFETCH(bool, accepted);
    Winsock socket;
    socket.setLocalPort(1234);
    socket.setRemotePort(4321);
    const int expected = accepted ? 0 : WinsockCode::InvalidPropertyValue;
    QCOMPARE(thrownCode([&] { socket.setLocalPort(port); }), expected);
    QCOMPARE(thrownCode([&] { socket.setRemotePort(port); }), expected);
    QCOMPARE(socket.LocalPort(), accepted ? qint32(port) : 1234);
    QCOMPARE(socket.RemotePort(), accepted ? qint32(port) : 4321);
    QCOMPARE(thrownCode([&] { socket.setProtocol(0); }), 0);
    QCOMPARE(thrownCode([&] { socket.setProtocol(1); }), WinsockCode::InvalidPropertyValue);
}

void TestWinsock::callsRefusedInWrongState()
{
    Winsock socket;
    QCOMPARE(thrownCode([&] { socket.Accept(12345); }), WinsockCode::InvalidArgument);
    QCOMPARE(thrownCode([&] { socket.Listen(); }), 0);
    QCOMPARE(socket.State(), int(Winsock::sckListening));
    QCOMPARE(thrownCode([&] { socket.Listen(); }), WinsockCode::BadState);
    QCOMPARE(thrownCode([&] { socket.Connect(); }), WinsockCode::BadState);
    QCOMPARE(thrownCode([&] { socket.Accept(1); }), WinsockCode::BadState);
    QCOMPARE(socket.State(), int(Winsock::sckListening));
}

void TestWinsock::listenAndAcceptOnePeer()
{
    Winsock socket;
    EventLog log(socket);
    {
        // All IPv4 interfaces: peers on the network, not just this machine.
        call([&] { socket.Listen(); });
        QCOMPARE(listeningAddressOf(quint16(socket.LocalPort())), QStringLiteral("0.0.0.0"));
        call([&] { socket.Close(); });
        QCOMPARE(listeningAddressOf(quint16(socket.LocalPort())), QString());
    }
    std::unique_ptr<QTcpSocket> peer;
    QVERIFY(acceptPeer(socket, peer));
    const quint16 port = peer->peerPort();
    QVERIFY(port != 0);
    QCOMPARE(log.entries, QStringList {QStringLiteral("ConnectionRequest")});
    QCOMPARE(socket.State(), int(Winsock::sckConnected));
    QCOMPARE(socket.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QCOMPARE(socket.LocalPort(), qint32(port));

    // Latency and dead-peer detection are set on the accepted socket.
    const TcpOptions options = tcpOptionsOf(port, peer->localPort());
    QVERIFY(options.found);
    QVERIFY(options.noDelay != 0);
    QVERIFY(options.keepAlive != 0);

    // Bytes flow both ways.
    QByteArray atPeer;
    QObject::connect(peer.get(), &QIODevice::readyRead, peer.get(),
                     [&] { atPeer += peer->readAll(); });
    QByteArray atSocket;
    QObject::connect(&socket, &Winsock::DataArrival, &log,
                     [&](qint64) { atSocket += socket.GetData(); });
    call([&] { socket.SendData("pong"); });
    peer->write("ping");
    QVERIFY(waitFor([&] { return atPeer == "pong" && atSocket == "ping"; }));

    // No longer listening: a second peer is refused (or reset), never offered.
    auto second = connectPeer(port);
    QVERIFY(waitFor([&] { return isUnconnected(second); }));
    QVERIFY(second->error() == QAbstractSocket::ConnectionRefusedError
            || second->error() == QAbstractSocket::RemoteHostClosedError);
    settle(50);
    QCOMPARE(log.count(QStringLiteral("ConnectionRequest")), 1);
    QVERIFY(isConnected(peer));
    QCOMPARE(socket.State(), int(Winsock::sckConnected));
    QCOMPARE(log.synchronous, 0);

    call([&] { socket.Close(); });
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QCOMPARE(socket.RemoteHostIP(), QString());
    QVERIFY(waitFor([&] { return isUnconnected(peer); }));
}

void TestWinsock::listenOnTakenPortThrows10048_data()
{
    QTest::addColumn<QHostAddress>("takenOn");
    QTest::newRow("all interfaces") << QHostAddress(QHostAddress::AnyIPv4);
    QTest::newRow("loopback") << QHostAddress(QHostAddress::LocalHost);
}

void TestWinsock::listenOnTakenPortThrows10048()
{
    QFETCH(QHostAddress, takenOn);
    QTcpServer holder;
    QVERIFY(holder.listen(takenOn, 0));
    const quint16 port = holder.serverPort();
    Winsock socket;
    socket.setLocalPort(port);
    QCOMPARE(thrownCode([&] { socket.Listen(); }), WinsockCode::AddressInUse);
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    holder.close();
    QCOMPARE(thrownCode([&] { socket.Listen(); }), 0);
    QCOMPARE(socket.LocalPort(), qint32(port));
}

void TestWinsock::relistenRightAfterClose_data()
{
    QTest::addColumn<QString>("before");
    QTest::newRow("idle listener") << QStringLiteral("idle");
    QTest::newRow("we closed an accepted connection") << QStringLiteral("we close");
    QTest::newRow("peer closed an accepted connection") << QStringLiteral("peer closes");
}

void TestWinsock::relistenRightAfterClose()
{
    QFETCH(QString, before);
    Winsock socket;
    quint16 port = 0;
    if (before == QStringLiteral("idle")) {
        call([&] { socket.Listen(); });
        port = quint16(socket.LocalPort());
    } else {
        // The closed connection leaves the port in TIME_WAIT on one side.
        std::unique_ptr<QTcpSocket> peer;
        QVERIFY(acceptPeer(socket, peer));
        port = peer->peerPort();
        if (before == QStringLiteral("peer closes")) {
            peer->disconnectFromHost();
            QVERIFY(waitFor([&] { return socket.State() == Winsock::sckClosing; }));
        }
        call([&] { socket.Close(); });
        QVERIFY(waitFor([&] { return isUnconnected(peer); }));
    }
    QVERIFY(port != 0);
    call([&] { socket.Close(); });
    socket.setLocalPort(port);
    QCOMPARE(thrownCode([&] { socket.Listen(); }), 0);
    QCOMPARE(socket.LocalPort(), qint32(port));

    std::unique_ptr<QTcpSocket> peer;
    call([&] { socket.Close(); });
    QVERIFY(acceptPeer(socket, peer, port));
}

void TestWinsock::peerCloseAfterData_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("readOnArrival");
    // 200000: more than one read of the OS socket, less than the read limit.
    for (int size : {0, 5, 200000}) {
        for (bool readOnArrival : {true, false}) {
            QTest::addRow("%d bytes, %s", size, readOnArrival ? "read on arrival" : "read at close")
                << size << readOnArrival;
        }
    }
}

void TestWinsock::peerCloseAfterData()
{
    QFETCH(int, size);
    QFETCH(bool, readOnArrival);
    Winsock socket;
    std::unique_ptr<QTcpSocket> peer;
    QVERIFY(acceptPeer(socket, peer));
    EventLog log(socket);

    QByteArray received;
    qint64 waitingAtClose = -1;
    if (readOnArrival) {
        QObject::connect(&socket, &Winsock::DataArrival, &log,
                         [&](qint64) { received += call([&] { return socket.GetData(); }); });
    }
    QObject::connect(&socket, &Winsock::PeerClosed, &log, [&] {
        QCOMPARE(socket.State(), int(Winsock::sckClosing));
        waitingAtClose = socket.BytesReceived();
        received += call([&] { return socket.GetData(); });
    });

    const QByteArray sent = randomBytes(size == 0 ? 4 : size, 7).left(size);
    peer->write(sent);
    peer->disconnectFromHost();
    QVERIFY(waitFor([&] { return log.count(QStringLiteral("PeerClosed")) == 1; }));
    settle(20);

    QCOMPARE(socket.State(), int(Winsock::sckClosing));
    QCOMPARE(received.size(), sent.size());
    QCOMPARE(firstDifference(received, sent), qsizetype(-1));
    // Every byte was announced before the close, and the close came last.
    QCOMPARE(log.entries.last(), QStringLiteral("PeerClosed"));
    QCOMPARE(log.count(QStringLiteral("PeerClosed")), 1);
    QCOMPARE(log.count(QStringLiteral("DataArrival")) > 0, size > 0);
    if (readOnArrival)
        QCOMPARE(waitingAtClose, 0);
    QCOMPARE(log.count(QStringLiteral("Error")), 0);
    QCOMPARE(log.synchronous, 0);

    QCOMPARE(thrownCode([&] { socket.SendData("late"); }), WinsockCode::BadState);
    call([&] { socket.Close(); });
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
}

void TestWinsock::connectRefused()
{
    Winsock socket;
    EventLog log(socket);
    socket.setRemoteHost(QStringLiteral("127.0.0.1"));
    socket.setRemotePort(freePort());
    for (int attempt = 1; attempt <= 2; ++attempt) { // the second starts afresh from 9
        QCOMPARE(thrownCode([&] { socket.Connect(); }), 0);
        QCOMPARE(log.count(QStringLiteral("Error")), attempt - 1);
        QVERIFY(waitFor([&] { return log.count(QStringLiteral("Error")) == attempt; }));
        QCOMPARE(socket.State(), int(Winsock::sckError));
        QCOMPARE(log.errors.back(), WinsockCode::ConnectionRefused);
    }
    QCOMPARE(log.count(QStringLiteral("Connected")), 0);
    QCOMPARE(log.synchronous, 0);
}

void TestWinsock::connectByNameOrAddress_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QList<int>>("statesAfterCall");
    // 4 while Qt looks the name up; 6 at once when its host cache has it.
    QTest::newRow("name") << QStringLiteral("localhost")
                          << QList<int> {Winsock::sckResolvingHost, Winsock::sckConnecting};
    // An address needs no lookup; Qt may even finish a loopback connect at once.
    QTest::newRow("address") << QStringLiteral("127.0.0.1")
                             << QList<int> {Winsock::sckConnecting, Winsock::sckConnected};
}

void TestWinsock::connectByNameOrAddress()
{
    QFETCH(QString, host);
    QFETCH(QList<int>, statesAfterCall);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::Any, 0)); // IPv4 and IPv6, whatever the name gives
    Winsock socket;
    EventLog log(socket);
    socket.setRemoteHost(host);
    socket.setRemotePort(server.serverPort());
    call([&] { socket.Connect(); });
    QVERIFY2(statesAfterCall.contains(socket.State()), qPrintable(QString::number(socket.State())));
    QVERIFY(waitFor([&] { return log.count(QStringLiteral("Connected")) == 1; }));
    QCOMPARE(socket.State(), int(Winsock::sckConnected));
    QVERIFY(!socket.RemoteHostIP().isEmpty());
    QVERIFY(waitFor([&] { return server.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());

    const TcpOptions options = tcpOptionsOf(quint16(socket.LocalPort()), server.serverPort());
    QVERIFY(options.found);
    QVERIFY(options.noDelay != 0);
    QVERIFY(options.keepAlive != 0);

    call([&] { socket.SendData("hello"); });
    QVERIFY(waitFor([&] { return peer->bytesAvailable() == 5; }));
    QCOMPARE(peer->readAll(), QByteArray("hello"));
    QCOMPARE(thrownCode([&] { socket.Connect(); }), WinsockCode::BadState);
    QCOMPARE(thrownCode([&] { socket.Listen(); }), WinsockCode::BadState);
    QCOMPARE(log.synchronous, 0);
}

void TestWinsock::connectDuringConnectDoesNotRestart()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::Any, 0));
    int incoming = 0;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] { ++incoming; });
    Winsock socket;
    EventLog log(socket);
    socket.setRemoteHost(QStringLiteral("localhost"));
    socket.setRemotePort(server.serverPort());
    call([&] { socket.Connect(); });

    // The supervision tick's way: Connect again while the first is under way.
    // A restart would drop the lookup or the connection every time.
    int repeats = 0;
    QVERIFY(waitFor([&] {
        const int state = socket.State();
        if (state >= Winsock::sckResolvingHost && state <= Winsock::sckConnecting) {
            if (thrownCode([&] { socket.Connect(); }) != 0)
                return true; // reported below
            ++repeats;
        }
        return log.count(QStringLiteral("Connected")) == 1;
    }));
    QVERIFY(repeats > 0);
    settle(50);
    QCOMPARE(incoming, 1);
    QCOMPARE(log.entries, QStringList {QStringLiteral("Connected")});
    QCOMPARE(socket.State(), int(Winsock::sckConnected));
}

void TestWinsock::megabyteBothWays_data()
{
    QTest::addColumn<int>("chunk");
    QTest::newRow("one SendData") << (1 << 20);
    QTest::newRow("64 KiB chunks") << 65536;
    QTest::newRow("1000-byte chunks") << 1000;
}

void TestWinsock::megabyteBothWays()
{
    QFETCH(int, chunk);
    const QByteArray up = randomBytes(1 << 20, 1);   // peer -> Winsock
    const QByteArray down = randomBytes(1 << 20, 2); // Winsock -> peer
    Winsock socket;
    std::unique_ptr<QTcpSocket> peer;
    QVERIFY(acceptPeer(socket, peer));
    EventLog log(socket);

    QByteArray atSocket;
    QObject::connect(&socket, &Winsock::DataArrival, &log, [&](qint64 bytesTotal) {
        const QByteArray data = socket.GetData();
        QCOMPARE(data.size(), bytesTotal);
        atSocket += data;
    });
    QByteArray atPeer;
    QObject::connect(peer.get(), &QIODevice::readyRead, peer.get(),
                     [&] { atPeer += peer->readAll(); });

    peer->write(up);
    for (qsizetype offset = 0; offset < down.size(); offset += chunk)
        call([&] { socket.SendData(down.sliced(offset, qMin<qsizetype>(chunk, down.size() - offset))); });
    QVERIFY(socket.BytesToSend() > 0 || atPeer.size() == down.size());

    QVERIFY(waitFor([&] { return atSocket.size() >= up.size() && atPeer.size() >= down.size(); },
                    30000));
    QCOMPARE(atSocket.size(), up.size());
    QCOMPARE(atPeer.size(), down.size());
    QCOMPARE(firstDifference(atSocket, up), qsizetype(-1));
    QCOMPARE(firstDifference(atPeer, down), qsizetype(-1));
    QCOMPARE(socket.BytesToSend(), 0);
    QCOMPARE(socket.BytesReceived(), 0);
    QCOMPARE(log.synchronous, 0);
}

void TestWinsock::unacceptedRequestIsClosed_data()
{
    QTest::addColumn<QString>("handler");
    QTest::addColumn<int>("expectedCode"); // what the handler's own call throws
    QTest::newRow("ignores it") << QStringLiteral("ignore") << 0;
    QTest::newRow("Accept without Close") << QStringLiteral("accept") << WinsockCode::BadState;
    QTest::newRow("Accept of another id")
        << QStringLiteral("wrong id") << WinsockCode::InvalidArgument;
    QTest::newRow("throws out of the handler") << QStringLiteral("throw") << 0;
}

void TestWinsock::unacceptedRequestIsClosed()
{
    QFETCH(QString, handler);
    QFETCH(int, expectedCode);
    Winsock socket;
    EventLog log(socket);
    int code = -1;
    auto connection = QObject::connect(&socket, &Winsock::ConnectionRequest, &log, [&](qint32 id) {
        if (handler == QStringLiteral("accept"))
            code = thrownCode([&] { socket.Accept(id); });
        else if (handler == QStringLiteral("wrong id"))
            code = thrownCode([&] {
                socket.Close();
                socket.Accept(id + 1);
            });
        else
            code = 0;
        if (handler == QStringLiteral("throw"))
            throw ComponentError(1, QStringLiteral("handler failure"));
    });
    if (handler == QStringLiteral("throw"))
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("threw")));
    call([&] { socket.Listen(); });
    const quint16 port = quint16(socket.LocalPort());

    auto peer = connectPeer(port);
    QVERIFY(waitFor([&] { return log.count(QStringLiteral("ConnectionRequest")) == 1; }));
    QCOMPARE(code, expectedCode);
    // Closed once the handler returned: the peer sees the end.
    QVERIFY(waitFor([&] { return isUnconnected(peer); }));

    // The instance still works: listening (unless the handler closed it),
    // and the next request can be accepted.
    QObject::disconnect(connection);
    if (handler == QStringLiteral("wrong id")) {
        QCOMPARE(socket.State(), int(Winsock::sckClosed));
        socket.setLocalPort(port);
        call([&] { socket.Listen(); });
    }
    QCOMPARE(socket.State(), int(Winsock::sckListening));
    acceptRequests(socket, &log);
    auto next = connectPeer(port);
    QVERIFY(waitFor([&] { return socket.State() == Winsock::sckConnected && isConnected(next); }));
    QCOMPARE(log.synchronous, 0);
}

void TestWinsock::requestsOfferedOneAtATime_data()
{
    QTest::addColumn<bool>("acceptFirst");
    QTest::newRow("all rejected") << false;
    QTest::newRow("first accepted") << true;
}

void TestWinsock::requestsOfferedOneAtATime()
{
    QFETCH(bool, acceptFirst);
    Winsock socket;
    EventLog log(socket);
    int depth = 0;
    int maxDepth = 0;
    QList<qint32> ids;
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    quint16 port = 0;
    QObject::connect(&socket, &Winsock::ConnectionRequest, &log, [&](qint32 id) {
        ++depth;
        maxDepth = qMax(maxDepth, depth);
        ids.append(id);
        // Events run inside another handler's event pass, and one more peer
        // arrives meanwhile: still no second request may be offered while
        // this one is.
        if (ids.size() == 1) {
            peers.push_back(connectPeer(port));
            const QTcpSocket *late = peers.back().get();
            waitFor([&] { return late->state() == QAbstractSocket::ConnectedState; }, 2000);
            settle(30);
        }
        if (acceptFirst && ids.size() == 1)
            call([&] {
                socket.Close();
                socket.Accept(id);
            });
        --depth;
    });
    call([&] { socket.Listen(); });
    port = quint16(socket.LocalPort());

    for (int i = 0; i < 3; ++i)
        peers.push_back(connectPeer(port));
    // Every peer but the accepted one sees its connection end.
    QVERIFY(waitFor([&] {
        const auto finished = std::count_if(peers.begin(), peers.end(),
                                            [](const auto &peer) { return isUnconnected(peer); });
        return peers.size() == 4 && finished == (acceptFirst ? 3 : 4);
    }));
    settle(50);
    QCOMPARE(maxDepth, 1);
    QCOMPARE(ids.size(), acceptFirst ? 1 : 4);
    QCOMPARE(QSet<qint32>(ids.begin(), ids.end()).size(), ids.size());
    QCOMPARE(socket.State(), acceptFirst ? int(Winsock::sckConnected) : int(Winsock::sckListening));
    if (acceptFirst) {
        const int connected = std::count_if(peers.begin(), peers.end(),
                                            [](const auto &peer) { return isConnected(peer); });
        QCOMPARE(connected, 1);
    }
}

void TestWinsock::noDescriptorLeak_data()
{
    QTest::addColumn<QString>("cycle");
    QTest::newRow("accept, talk, we close") << QStringLiteral("accept");
    QTest::newRow("accept, peer closes first") << QStringLiteral("peer closes");
    QTest::newRow("request not accepted") << QStringLiteral("reject");
    QTest::newRow("connect, we close") << QStringLiteral("connect");
    QTest::newRow("connect refused") << QStringLiteral("refused");
}

void TestWinsock::noDescriptorLeak()
{
    QFETCH(QString, cycle);
    QTcpServer server; // the far end of the connect cycles
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 refusedPort = freePort();
    Winsock socket;
    quint16 port = 0; // the same listening port, taken again every cycle

    auto runCycle = [&]() -> bool {
        std::unique_ptr<QTcpSocket> peer;
        if (cycle == QStringLiteral("accept") || cycle == QStringLiteral("peer closes")) {
            if (!acceptPeer(socket, peer, port))
                return false;
            port = peer->peerPort();
            if (cycle == QStringLiteral("peer closes")) {
                peer->disconnectFromHost();
                if (!waitFor([&] { return socket.State() == Winsock::sckClosing; }))
                    return false;
            } else {
                call([&] { socket.SendData("y"); });
                peer->write("x");
                if (!waitFor([&] { return socket.BytesReceived() == 1 && peer->bytesAvailable() == 1; }))
                    return false;
            }
        } else if (cycle == QStringLiteral("reject")) {
            socket.setLocalPort(port);
            call([&] { socket.Listen(); });
            port = quint16(socket.LocalPort());
            peer = connectPeer(port);
            if (!waitFor([&] { return isUnconnected(peer); }))
                return false;
        } else {
            socket.setRemoteHost(QStringLiteral("127.0.0.1"));
            const bool refused = cycle == QStringLiteral("refused");
            socket.setRemotePort(refused ? refusedPort : server.serverPort());
            call([&] { socket.Connect(); });
            const int outcome = refused ? Winsock::sckError : Winsock::sckConnected;
            if (!waitFor([&] {
                    return socket.State() == outcome && (refused || server.hasPendingConnections());
                }))
                return false;
            if (!refused)
                peer.reset(server.nextPendingConnection());
        }
        // Close releases at once: no event pass between it and the count.
        call([&] { socket.Close(); });
        return true;
    };

    QVERIFY(runCycle()); // warm-up: whatever Qt opens once is open now
    const int before = fdCount();
    QVERIFY(before > 0);
    for (int i = 0; i < 200; ++i) {
        QVERIFY2(runCycle(), qPrintable(QStringLiteral("cycle %1").arg(i)));
        QCOMPARE(fdCount(), before);
    }
}

void TestWinsock::eventsNeverSynchronous()
{
    // Every path that could raise an event at once: Accept of a request whose
    // peer already sent and closed, a connect that Qt may settle inside the
    // call, SendData, GetData, Close. EventLog counts events raised inside a
    // call (all calls go through call()).
    Winsock socket;
    EventLog log(socket);
    QByteArray received;
    QObject::connect(&socket, &Winsock::ConnectionRequest, &log, [&](qint32 id) {
        settle(50); // the offered connection reads the data and the FIN meanwhile
        call([&] {
            socket.Close();
            socket.Accept(id);
        });
        QCOMPARE(log.synchronous, 0);
    });
    QObject::connect(&socket, &Winsock::DataArrival, &log,
                     [&](qint64) { received += call([&] { return socket.GetData(); }); });
    call([&] { socket.Listen(); });
    auto peer = connectPeer(quint16(socket.LocalPort()));
    QVERIFY(waitFor([&] { return isConnected(peer); }));
    peer->write("early");
    peer->disconnectFromHost();
    QVERIFY(waitFor([&] { return log.count(QStringLiteral("PeerClosed")) == 1; }));
    QCOMPARE(received, QByteArray("early"));
    QCOMPARE(log.entries,
             (QStringList {QStringLiteral("ConnectionRequest"), QStringLiteral("DataArrival"),
                           QStringLiteral("PeerClosed")}));

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    socket.setRemoteHost(QStringLiteral("127.0.0.1"));
    socket.setRemotePort(freePort());
    call([&] { socket.Connect(); });
    QVERIFY(waitFor([&] { return log.count(QStringLiteral("Error")) == 1; }));
    socket.setRemotePort(server.serverPort());
    call([&] { socket.Connect(); });
    QVERIFY(waitFor([&] { return log.count(QStringLiteral("Connected")) == 1; }));
    call([&] { socket.SendData("x"); });
    call([&] { socket.Close(); });
    settle(20);
    QCOMPARE(log.synchronous, 0);
}

void TestWinsock::eventsPostedBeforeCloseAreDropped_data()
{
    QTest::addColumn<QString>("pending");
    QTest::addColumn<bool>("closeFirst"); // else GetData first
    QTest::newRow("Connected") << QStringLiteral("connected") << true;
    QTest::newRow("ConnectionRequest") << QStringLiteral("request") << true;
    QTest::newRow("DataArrival") << QStringLiteral("data") << true;
    QTest::newRow("DataArrival and PeerClosed") << QStringLiteral("data+close") << true;
    QTest::newRow("DataArrival after GetData read it") << QStringLiteral("data") << false;
}

void TestWinsock::eventsPostedBeforeCloseAreDropped()
{
    QFETCH(QString, pending);
    QFETCH(bool, closeFirst);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Winsock socket;
    std::unique_ptr<QTcpSocket> peer;
    if (pending.startsWith(QStringLiteral("data"))) {
        QVERIFY(acceptPeer(socket, peer));
        settle(20); // nothing left in flight
    }
    EventLog log(socket);
    QByteArray readEarly;
    BeforeFirstEvent filter([&] {
        if (closeFirst)
            call([&] { socket.Close(); });
        else
            readEarly = call([&] { return socket.GetData(); });
    });
    socket.installEventFilter(&filter);

    if (pending == QStringLiteral("connected")) {
        socket.setRemoteHost(QStringLiteral("127.0.0.1"));
        socket.setRemotePort(server.serverPort());
        call([&] { socket.Connect(); });
        QVERIFY(waitFor([&] { return server.hasPendingConnections(); }));
        peer.reset(server.nextPendingConnection());
    } else if (pending == QStringLiteral("request")) {
        call([&] { socket.Listen(); });
        peer = connectPeer(quint16(socket.LocalPort()));
    } else {
        peer->write("abc");
        if (pending == QStringLiteral("data+close"))
            peer->disconnectFromHost();
    }
    QVERIFY(waitFor([&] { return filter.fired; }));
    settle(50);

    if (closeFirst) {
        QVERIFY2(log.entries.isEmpty(), qPrintable(log.entries.join(u' ')));
        QCOMPARE(socket.State(), int(Winsock::sckClosed));
        QVERIFY(waitFor([&] { return isUnconnected(peer); }));
    } else {
        // Bytes were read before the posted DataArrival came: it stays silent.
        QCOMPARE(readEarly, QByteArray("abc"));
        QVERIFY2(log.entries.isEmpty(), qPrintable(log.entries.join(u' ')));
        QCOMPARE(socket.State(), int(Winsock::sckConnected));
    }
}

void TestWinsock::sendDataOutsideConnectedThrows_data()
{
    QTest::addColumn<int>("state");
    QTest::newRow("closed") << int(Winsock::sckClosed);
    QTest::newRow("listening") << int(Winsock::sckListening);
    QTest::newRow("connecting") << int(Winsock::sckConnecting);
    QTest::newRow("peer closed") << int(Winsock::sckClosing);
    QTest::newRow("error") << int(Winsock::sckError);
}

void TestWinsock::sendDataOutsideConnectedThrows()
{
    QFETCH(int, state);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::Any, 0));
    Winsock socket;
    std::unique_ptr<QTcpSocket> peer;
    switch (state) {
    case Winsock::sckListening:
        socket.Listen();
        break;
    case Winsock::sckConnecting:
        // A name: its lookup, cached or not, keeps the connect under way
        // until the event loop runs (4, or 6 from Qt's host cache).
        socket.setRemoteHost(QStringLiteral("localhost"));
        socket.setRemotePort(server.serverPort());
        socket.Connect();
        QVERIFY(socket.State() == Winsock::sckResolvingHost
                || socket.State() == Winsock::sckConnecting);
        QCOMPARE(thrownCode([&] { socket.SendData("x"); }), WinsockCode::BadState);
        return;
    case Winsock::sckClosing:
        QVERIFY(acceptPeer(socket, peer));
        peer->disconnectFromHost();
        QVERIFY(waitFor([&] { return socket.State() == Winsock::sckClosing; }));
        break;
    case Winsock::sckError:
        socket.setRemoteHost(QStringLiteral("127.0.0.1"));
        socket.setRemotePort(freePort());
        socket.Connect();
        QVERIFY(waitFor([&] { return socket.State() == Winsock::sckError; }));
        break;
    default:
        break;
    }
    QCOMPARE(socket.State(), state);
    QCOMPARE(thrownCode([&] { socket.SendData("x"); }), WinsockCode::BadState);
    QCOMPARE(socket.GetData(), QByteArray());
    QCOMPARE(socket.BytesToSend(), 0);
}

QTEST_GUILESS_MAIN(TestWinsock)
#include "tst_winsock.moc"
