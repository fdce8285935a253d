// Winsock against real loopback peers (QTcpSocket/QTcpServer in the test are
// the other side; every port is chosen by the OS), and SignalWatcher.
#include "platform/component_error.h"
#include "platform/signal_watcher.h"
#include "platform/winsock.h"
#include "support/process_stats.h"
#include "support/wait_until.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Peer = std::unique_ptr<QTcpSocket>;

// The ComponentError code a call throws, 0 when it throws nothing.
template <typename F>
int thrownCode(F &&f)
{
    try {
        f();
    } catch (const ComponentError &error) {
        return error.code();
    }
    return 0;
}

// Delivers every event posted so far: "no event came" needs no waiting.
[[nodiscard]] bool drain()
{
    bool reached = false;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { reached = true; }, Qt::QueuedConnection);
    return waitUntil([&] { return reached; });
}

// Random bytes from a fixed seed that surely hold a NUL and a 0xFF.
QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    bytes[0] = '\0';
    bytes[size - 1] = char(0xFF);
    return bytes;
}

bool unconnected(const QAbstractSocket &socket) { return socket.state() == QAbstractSocket::UnconnectedState; }

// The events of one Winsock in delivery order, and how many came from inside
// a call on it (which handlers must never see).
struct EventLog : QObject {
    explicit EventLog(Winsock &socket)
    {
        connect(&socket, &Winsock::ConnectionRequest, this, [this] { names << u"ConnectionRequest"_qs; });
        connect(&socket, &Winsock::Connected, this, [this] { names << u"Connected"_qs; });
        connect(&socket, &Winsock::DataArrival, this, [this] { names << u"DataArrival"_qs; });
        connect(&socket, &Winsock::PeerClosed, this, [this] { names << u"PeerClosed"_qs; });
        connect(&socket, &Winsock::Error, this, [this](int n) { names << QStringLiteral("Error %1").arg(n); });
    }
    template <typename F>
    void call(F &&f)
    {
        const qsizetype before = names.size();
        f();
        synchronous += int(names.size() != before);
    }
    QStringList names;
    int synchronous = 0;
};

Peer connectPeer(quint16 port)
{
    auto peer = std::make_unique<QTcpSocket>();
    peer->connectToHost(QHostAddress::LocalHost, port);
    return peer;
}

// Listens on `port` unless listening already and accepts one peer the
// window's way (Close() and Accept(id) in the handler); null on failure.
Peer acceptPeer(Winsock &socket, quint16 port = 0)
{
    QObject handler;
    QObject::connect(&socket, &Winsock::ConnectionRequest, &handler, [&socket](qint32 id) {
        socket.Close();
        socket.Accept(id);
    });
    if (socket.State() == Winsock::sckClosed) {
        socket.setLocalPort(port);
        socket.Listen();
    }
    Peer peer = connectPeer(quint16(socket.LocalPort()));
    const bool up = waitUntil([&] {
        return socket.State() == Winsock::sckConnected && peer->state() == QAbstractSocket::ConnectedState;
    });
    return up ? std::move(peer) : nullptr;
}

// Closes the Winsock just before the first posted event reaches it.
struct CloseBeforeFirstEvent : QObject {
    bool fired = false;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!fired && event->type() == QEvent::MetaCall) {
            fired = true;
            static_cast<Winsock *>(watched)->Close();
        }
        return false;
    }
};

} // namespace

class TestWinsock : public QObject
{
    Q_OBJECT

private slots:
    void listenOfferAndAcceptOne();
    void peerCloseAfterData_data();
    void peerCloseAfterData();
    void connectRefusedThenByName();
    void megabyteBothWaysAfterPause_data();
    void megabyteBothWaysAfterPause();
    void relistenCyclesLeakNoDescriptor();
    void eventsPostedBeforeCloseAreDropped_data();
    void eventsPostedBeforeCloseAreDropped();
    void closeEndsCleanlyAbortResets_data();
    void closeEndsCleanlyAbortResets();
    void signalWatcher();
};

void TestWinsock::listenOfferAndAcceptOne()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    const quint16 port = holder.serverPort();
    Winsock socket;
    EventLog log(socket);
    socket.setLocalPort(port);
    QCOMPARE(thrownCode([&] { socket.Listen(); }), WinsockCode::AddressInUse);
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QCOMPARE(thrownCode([&] { socket.SendData("x"); }), WinsockCode::BadState);
    holder.close();
    socket.Listen();
    {
        // A request the handler does not take (Accept without Close is
        // refused) is closed when it returns; listening goes on.
        QObject refuser;
        connect(&socket, &Winsock::ConnectionRequest, &refuser, [&](qint32 id) {
            QCOMPARE(thrownCode([&] { socket.Accept(id); }), WinsockCode::BadState);
        });
        Peer refused = connectPeer(port);
        QVERIFY(waitUntil([&] { return unconnected(*refused); }));
    }
    QCOMPARE(socket.State(), int(Winsock::sckListening));
    Peer peer = acceptPeer(socket);
    QVERIFY(peer);
    QCOMPARE(log.names, QStringList(2, u"ConnectionRequest"_qs));
    QCOMPARE(socket.RemoteHostIP(), u"127.0.0.1"_qs);
    // One connection only: the listener is gone, a second peer is turned away.
    Peer second = connectPeer(port);
    QVERIFY(waitUntil([&] { return unconnected(*second); }));
    QVERIFY(drain());
    QCOMPARE(log.names.size(), 2);
    QCOMPARE(peer->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(thrownCode([&] { socket.Connect(); }), WinsockCode::BadState);
}

void TestWinsock::peerCloseAfterData_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("readOnArrival"); // else all of it in the PeerClosed handler
    QTest::addColumn<bool>("beforeAccept");  // sent and closed while the request is offered
    QTest::newRow("nothing sent") << 0 << false << false;
    QTest::newRow("5 bytes, read at close") << 5 << false << false;
    QTest::newRow("200000 bytes, read on arrival") << 200000 << true << false; // several OS reads
    QTest::newRow("5 bytes and the close before Accept") << 5 << true << true;
}

void TestWinsock::peerCloseAfterData()
{
    QFETCH(int, size);
    QFETCH(bool, readOnArrival);
    QFETCH(bool, beforeAccept);
    const QByteArray sent = randomBytes(qMax(size, 4), 7).left(size);
    Winsock socket;
    EventLog log(socket);
    Peer peer;
    auto sendAndClose = [&] {
        peer->write(sent);
        peer->disconnectFromHost();
    };
    connect(&socket, &Winsock::ConnectionRequest, &log, [&](qint32 id) {
        QVERIFY(waitUntil([&] { return peer->state() == QAbstractSocket::ConnectedState; }));
        if (beforeAccept) {
            // The offered connection (a child until accepted) reads bytes and
            // end: Accept has both to announce.
            sendAndClose();
            const auto *offered = socket.findChild<QTcpSocket *>({}, Qt::FindDirectChildrenOnly);
            QVERIFY(offered && waitUntil([&] { return unconnected(*offered); }));
        }
        log.call([&] { socket.Close(); socket.Accept(id); });
        if (!beforeAccept)
            sendAndClose();
    });
    QByteArray received;
    if (readOnArrival)
        connect(&socket, &Winsock::DataArrival, &log, [&] { log.call([&] { received += socket.GetData(); }); });
    qint64 waitingAtClose = -1;
    connect(&socket, &Winsock::PeerClosed, &log, [&] {
        waitingAtClose = socket.BytesReceived();
        received += socket.GetData();
    });
    log.call([&] { socket.Listen(); });
    peer = connectPeer(quint16(socket.LocalPort()));
    QVERIFY(waitUntil([&] { return log.names.contains(u"PeerClosed"_qs); }));
    QVERIFY(drain());
    QCOMPARE(socket.State(), int(Winsock::sckClosing));
    QCOMPARE(received, sent);
    // The bytes were announced before the close, and the close came last, once.
    QCOMPARE(log.names.last(), u"PeerClosed"_qs);
    QCOMPARE(log.names.count(u"PeerClosed"_qs), 1);
    QCOMPARE(log.names.contains(u"DataArrival"_qs), size > 0);
    QCOMPARE(waitingAtClose, readOnArrival ? 0 : size);
    QCOMPARE(log.synchronous, 0);
    QCOMPARE(thrownCode([&] { socket.SendData("late"); }), WinsockCode::BadState);
}

void TestWinsock::connectRefusedThenByName()
{
    // Bound and never listened on: a loopback port that surely refuses.
    const int bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto closeBound = qScopeGuard([=] { ::close(bound); });
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(bound, reinterpret_cast<sockaddr *>(&address), length) == 0
            && ::getsockname(bound, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    Winsock socket;
    EventLog log(socket);
    socket.setRemoteHost(u"localhost"_qs);
    socket.setRemotePort(ntohs(address.sin_port));
    log.call([&] { socket.Connect(); });
    QVERIFY(waitUntil([&] { return !log.names.isEmpty(); }));
    QCOMPARE(log.names, QStringList {QStringLiteral("Error %1").arg(WinsockCode::ConnectionRefused)});
    QCOMPARE(socket.State(), int(Winsock::sckError));

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::Any, 0)); // IPv4 and IPv6, whatever the name gives
    socket.setRemotePort(server.serverPort());
    log.names.clear();
    // From 9 it starts afresh. Connect again while under way, as the
    // supervision tick does, must neither throw nor restart the attempt.
    auto connectAgain = [&] {
        const int state = socket.State();
        if (state >= Winsock::sckResolvingHost && state <= Winsock::sckConnecting)
            log.call([&] { socket.Connect(); });
        return !log.names.isEmpty();
    };
    log.call([&] { socket.Connect(); });
    QVERIFY(waitUntil(connectAgain));
    QCOMPARE(log.names, QStringList {u"Connected"_qs});
    QVERIFY(waitUntil([&] { return server.hasPendingConnections(); }));
    Peer peer(server.nextPendingConnection());
    QVERIFY(!server.hasPendingConnections()); // a restart would have connected twice
    log.call([&] { socket.SendData("hello"); });
    QVERIFY(waitUntil([&] { return peer->bytesAvailable() == 5; }));
    QCOMPARE(log.synchronous, 0);
}

void TestWinsock::megabyteBothWaysAfterPause_data()
{
    QTest::addColumn<int>("chunk");
    QTest::newRow("one SendData") << (1 << 20);
    QTest::newRow("1000-byte chunks") << 1000;
}

void TestWinsock::megabyteBothWaysAfterPause()
{
    QFETCH(int, chunk);
    const QByteArray up = randomBytes(1 << 20, 1);   // peer -> Winsock
    const QByteArray down = randomBytes(1 << 20, 2); // Winsock -> peer
    Winsock socket;
    Peer peer = acceptPeer(socket);
    QVERIFY(peer);
    QList<qint64> announced;
    QByteArray atSocket, atPeer;
    connect(&socket, &Winsock::DataArrival, &socket, [&](qint64 bytesTotal) {
        announced << bytesTotal;
        atSocket += socket.GetData();
    });
    connect(peer.get(), &QIODevice::readyRead, peer.get(), [&] { atPeer += peer->readAll(); });
    // Paused: nothing is announced and no more than the read limit is taken
    // from the OS; resuming announces what waits.
    socket.setReceivePaused(true);
    peer->write(up);
    for (qsizetype offset = 0; offset < down.size(); offset += chunk)
        socket.SendData(down.sliced(offset, qMin<qsizetype>(chunk, down.size() - offset)));
    QVERIFY(waitUntil([&] {
        return !announced.isEmpty()
            || (socket.BytesReceived() >= Winsock::ReadBufferLimit && atPeer.size() >= down.size());
    }, 30000));
    QVERIFY(drain());
    QCOMPARE(announced, QList<qint64> {});
    QCOMPARE(socket.BytesReceived(), Winsock::ReadBufferLimit);
    socket.setReceivePaused(false);
    QVERIFY(waitUntil([&] { return atSocket.size() >= up.size(); }, 30000));
    QCOMPARE(announced.first(), Winsock::ReadBufferLimit);
    QCOMPARE(atSocket, up);
    QCOMPARE(atPeer, down);
    QCOMPARE(socket.BytesToSend(), 0);
}

void TestWinsock::relistenCyclesLeakNoDescriptor()
{
    // Listen again on the port just closed, the accepted connection in
    // TIME_WAIT on one side: we close first on even cycles, the peer on odd.
    Winsock socket;
    quint16 port = 0;
    auto runCycle = [&](int i) {
        Peer peer = acceptPeer(socket, port);
        if (!peer)
            return false;
        port = peer->peerPort();
        if (i % 2 == 1) {
            peer->disconnectFromHost();
            if (!waitUntil([&] { return socket.State() == Winsock::sckClosing; }))
                return false;
        }
        socket.Close(); // releases at once: no event pass before the count
        return true;
    };
    QVERIFY(runCycle(0) && runCycle(1)); // warm-up: whatever Qt opens once is open now
    const int before = openDescriptors();
    for (int i = 0; i < 100; ++i) {
        QVERIFY2(runCycle(i), qPrintable(QStringLiteral("cycle %1").arg(i)));
        QCOMPARE(openDescriptors(), before);
    }
}

void TestWinsock::eventsPostedBeforeCloseAreDropped_data()
{
    QTest::addColumn<QString>("pending");
    QTest::newRow("Connected") << u"connected"_qs;
    QTest::newRow("ConnectionRequest") << u"request"_qs;
    QTest::newRow("PeerClosed") << u"peer closed"_qs;
}

void TestWinsock::eventsPostedBeforeCloseAreDropped()
{
    QFETCH(QString, pending);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Winsock socket;
    Peer peer;
    if (pending == u"peer closed"_qs)
        QVERIFY((peer = acceptPeer(socket)) && drain());
    EventLog log(socket);
    CloseBeforeFirstEvent filter;
    socket.installEventFilter(&filter);
    if (pending == u"connected"_qs) {
        socket.setRemoteHost(u"127.0.0.1"_qs);
        socket.setRemotePort(server.serverPort());
        socket.Connect();
        QVERIFY(waitUntil([&] { return server.hasPendingConnections(); }));
        peer.reset(server.nextPendingConnection());
    } else if (pending == u"request"_qs) {
        socket.Listen();
        peer = connectPeer(quint16(socket.LocalPort()));
    } else {
        peer->disconnectFromHost();
    }
    QVERIFY(waitUntil([&] { return filter.fired; }) && drain());
    QVERIFY2(log.names.isEmpty(), qPrintable(log.names.join(u' ')));
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QVERIFY(waitUntil([&] { return unconnected(*peer); }));
}

void TestWinsock::closeEndsCleanlyAbortResets_data()
{
    QTest::addColumn<bool>("abort");
    QTest::addColumn<int>("received"); // what recv() on the peer returns
    QTest::addColumn<int>("error");    // and errno when that is -1
    QTest::newRow("Close: end of stream") << false << 0 << 0;
    QTest::newRow("Abort: reset") << true << -1 << ECONNRESET;
}

void TestWinsock::closeEndsCleanlyAbortResets()
{
    QFETCH(bool, abort);
    QFETCH(int, received);
    QFETCH(int, error);
    Winsock socket;
    auto end = [&] { abort ? socket.Abort() : socket.Close(); };
    end(); // safe while closed
    Peer peer = acceptPeer(socket);
    QVERIFY(peer);
    end();
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    // Read the peer's descriptor directly: Qt reports a reset and an end of
    // stream alike (RemoteHostClosedError). No event pass lets Qt read first.
    pollfd p {int(peer->socketDescriptor()), POLLIN, 0};
    QCOMPARE(::poll(&p, 1, 5000), 1);
    char byte = 0;
    errno = 0;
    QCOMPARE(int(::recv(p.fd, &byte, 1, MSG_DONTWAIT)), received);
    QCOMPARE(errno, error);
    // While listening it ends the listener like Close: the port is free again.
    socket.Listen();
    const qint32 port = socket.LocalPort();
    end();
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QTcpServer again;
    QVERIFY(again.listen(QHostAddress::AnyIPv4, quint16(port)));
}

void TestWinsock::signalWatcher()
{
    {
        SignalWatcher watcher({SIGUSR1, SIGUSR2});
        QSignalSpy spy(&watcher, &SignalWatcher::signalled);
        ::raise(SIGUSR1);
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy, (QList<QVariantList> {{SIGUSR1}}));
    }
    struct sigaction now {};
    ::sigaction(SIGUSR1, nullptr, &now);
    QVERIFY(now.sa_handler == SIG_DFL); // restored
}

QTEST_GUILESS_MAIN(TestWinsock)
#include "tst_winsock.moc"
