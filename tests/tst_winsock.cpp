// Winsock against real loopback peers on OS-chosen ports, and SignalWatcher.
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
#include <unistd.h>

namespace {

using Peer = std::unique_ptr<QTcpSocket>;

template <typename F>
int thrownCode(F &&f) // the ComponentError code a call throws, 0 for none
{
    try {
        f();
    } catch (const ComponentError &error) {
        return error.code();
    }
    return 0;
}

[[nodiscard]] bool drain() // delivers every event posted so far
{
    bool reached = false;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { reached = true; }, Qt::QueuedConnection);
    return waitUntil([&] { return reached; });
}

QByteArray randomBytes(qsizetype size, quint32 seed) // fixed seed; NUL and 0xFF surely in
{
    QByteArray bytes(size, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data() + 1), (size - 2) / 4);
    bytes[size - 1] = char(0xFF);
    return bytes;
}

// A raw loopback socket on an OS-chosen port: listening, or only bound (then
// it refuses connections); or, given a port, connected to it. -1 on failure.
int rawSocket(quint16 *port, bool listen, bool connect = false)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {AF_INET, htons(connect ? *port : 0), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    const auto address = reinterpret_cast<sockaddr *>(&a);
    if (connect ? ::connect(fd, address, size) != 0
                : ::bind(fd, address, size) != 0 || ::getsockname(fd, address, &size) != 0
                    || (listen && ::listen(fd, 4) != 0))
        return ::close(fd), -1;
    *port = ntohs(a.sin_port);
    return fd;
}

// The events of one Winsock in delivery order; `synchronous` counts those
// raised inside a call made through call(), which handlers must never see.
struct EventLog : QObject {
    explicit EventLog(Winsock &s)
    {
        connect(&s, &Winsock::ConnectionRequest, this, [this] { names << u"ConnectionRequest"_qs; });
        connect(&s, &Winsock::Connected, this, [this] { names << u"Connected"_qs; });
        connect(&s, &Winsock::DataArrival, this, [this] { names << u"DataArrival"_qs; });
        connect(&s, &Winsock::PeerClosed, this, [this] { names << u"PeerClosed"_qs; });
        connect(&s, &Winsock::Error, this, [this](int n) { names << QStringLiteral("Error %1").arg(n); });
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

// Accepts every request the window's way: Close() and Accept(id).
void acceptRequests(Winsock &socket, QObject *context)
{
    QObject::connect(&socket, &Winsock::ConnectionRequest, context, [&socket](qint32 id) {
        socket.Close();
        socket.Accept(id);
    });
}

Peer connectPeer(quint16 port)
{
    auto peer = std::make_unique<QTcpSocket>();
    peer->connectToHost(QHostAddress::LocalHost, port);
    return peer;
}

bool unconnected(const QAbstractSocket &s) { return s.state() == QAbstractSocket::UnconnectedState; }

} // namespace

class TestWinsock : public QObject
{
    Q_OBJECT

private slots:
    void listenSide();
    void connectSide();
    void transfer_data();
    void transfer();
    void eventsPostedBeforeCloseAreDropped_data();
    void eventsPostedBeforeCloseAreDropped();
    void closeOrAbortCycles_data();
    void closeOrAbortCycles();
    void signalWatcher();
};

void TestWinsock::listenSide()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    const quint16 port = holder.serverPort();
    Winsock socket;
    EventLog log(socket);
    socket.setLocalPort(port);
    QCOMPARE(thrownCode([&] { socket.Listen(); }), WinsockCode::AddressInUse);
    QCOMPARE(thrownCode([&] { socket.SendData("x"); }), WinsockCode::BadState);
    holder.close();
    socket.Listen();
    auto refuse = connect(&socket, &Winsock::ConnectionRequest, this, [&](qint32 id) {
        QCOMPARE(thrownCode([&] { socket.Accept(id); }), WinsockCode::BadState); // not closed first
    });
    Peer refused = connectPeer(port);
    // Offered, then closed when the handler returned.
    QVERIFY(waitUntil([&] { return !log.names.isEmpty() && unconnected(*refused); }));
    disconnect(refuse);
    acceptRequests(socket, &log);
    Peer peer = connectPeer(port); // still listening: offered again
    QVERIFY(waitUntil([&] { return socket.State() == Winsock::sckConnected; }));
    QCOMPARE(socket.RemoteHostIP(), u"127.0.0.1"_qs);
    Peer second = connectPeer(port); // one connection: the listener is gone
    QVERIFY(waitUntil([&] { return unconnected(*second); }) && drain());
    QCOMPARE(log.names, QStringList(2, u"ConnectionRequest"_qs));
    QCOMPARE(thrownCode([&] { socket.Connect(); }), WinsockCode::BadState);
}

void TestWinsock::connectSide()
{
    quint16 port = 0;
    const int bound = rawSocket(&port, false);
    QVERIFY(bound >= 0);
    const auto closeBound = qScopeGuard([=] { ::close(bound); });
    Winsock socket;
    EventLog log(socket);
    socket.setRemoteHost(u"localhost"_qs);
    socket.setRemotePort(port);
    log.call([&] { socket.Connect(); });
    QVERIFY(waitUntil([&] { return !log.names.isEmpty(); }));
    QCOMPARE(log.names, QStringList {QStringLiteral("Error %1").arg(WinsockCode::ConnectionRefused)});
    QCOMPARE(socket.State(), int(Winsock::sckError));
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::Any, 0)); // IPv4 and IPv6, whatever the name gives
    socket.setRemotePort(server.serverPort());
    log.names.clear();
    // From 9 it starts afresh; Connect again while under way (the supervision
    // tick's way) neither throws nor restarts.
    log.call([&] { socket.Connect(); });
    QVERIFY(waitUntil([&] {
        if (socket.State() >= Winsock::sckResolvingHost && socket.State() <= Winsock::sckConnecting)
            log.call([&] { socket.Connect(); });
        return !log.names.isEmpty() && server.hasPendingConnections();
    }));
    QCOMPARE(log.names, QStringList {u"Connected"_qs});
    Peer peer(server.nextPendingConnection());
    QVERIFY(!server.hasPendingConnections()); // a restart would have connected twice
    log.call([&] { socket.SendData("hello"); });
    QVERIFY(waitUntil([&] { return peer->bytesAvailable() == 5; }));
    QCOMPARE(log.synchronous, 0);
}

void TestWinsock::transfer_data()
{
    QTest::addColumn<int>("size");           // peer -> Winsock, then the peer closes
    QTest::addColumn<int>("chunk");          // Winsock -> peer: 1 MiB in SendData chunks of this size
    QTest::addColumn<bool>("readOnArrival"); // else all of it in the PeerClosed handler
    QTest::addColumn<bool>("beforeAccept");  // sent and closed while the request is offered
    QTest::newRow("nothing") << 0 << 0 << false << false;
    QTest::newRow("5 bytes, read at close") << 5 << 0 << false << false;
    QTest::newRow("5 bytes and the close before Accept") << 5 << 0 << true << true;
    QTest::newRow("paused 1 MiB, one SendData") << (1 << 20) << (1 << 20) << true << false;
    QTest::newRow("paused 1 MiB, 1000-byte chunks") << (1 << 20) << 1000 << true << false;
}

void TestWinsock::transfer()
{
    QFETCH(int, size);
    QFETCH(int, chunk);
    QFETCH(bool, readOnArrival);
    QFETCH(bool, beforeAccept);
    const QByteArray up = randomBytes(qMax(size, 4), 1).left(size), down = randomBytes(1 << 20, 2);
    Winsock socket;
    EventLog log(socket);
    Peer peer;
    QByteArray atSocket, atPeer;
    auto sendAndClose = [&] { peer->write(up), peer->disconnectFromHost(); };
    connect(&socket, &Winsock::ConnectionRequest, &log, [&](qint32 id) {
        QVERIFY(waitUntil([&] { return peer->state() == QAbstractSocket::ConnectedState; }));
        if (beforeAccept) { // the offered connection reads bytes and end: Accept announces both
            sendAndClose();
            const auto *offered = socket.findChild<QTcpSocket *>({}, Qt::FindDirectChildrenOnly);
            QVERIFY(offered && waitUntil([&] { return unconnected(*offered); }));
        }
        log.call([&] { socket.Close(), socket.Accept(id); });
    });
    if (readOnArrival)
        connect(&socket, &Winsock::DataArrival, &log, [&] { log.call([&] { atSocket += socket.GetData(); }); });
    qint64 waitingAtClose = -1;
    connect(&socket, &Winsock::PeerClosed, &log, [&] { waitingAtClose = socket.BytesReceived(); atSocket += socket.GetData(); });
    log.call([&] { socket.Listen(); });
    peer = connectPeer(quint16(socket.LocalPort()));
    QVERIFY(waitUntil([&] { return socket.State() >= Winsock::sckConnected; }));
    connect(peer.get(), &QIODevice::readyRead, peer.get(), [&] { atPeer += peer->readAll(); });
    if (chunk > 0) {
        // Paused: nothing announced, no more than the read limit taken from
        // the OS while the other way runs; resuming announces what waits.
        socket.setReceivePaused(true);
        peer->write(up);
        for (qsizetype offset = 0; offset < down.size(); offset += chunk)
            log.call([&] { socket.SendData(down.sliced(offset, qMin<qsizetype>(chunk, down.size() - offset))); });
        QVERIFY(waitUntil([&] { return socket.BytesReceived() == Winsock::ReadBufferLimit && atPeer == down; }, 30000));
        QVERIFY(drain() && !log.names.contains(u"DataArrival"_qs));
        log.call([&] { socket.setReceivePaused(false); });
        QVERIFY(waitUntil([&] { return atSocket.size() == up.size(); }, 30000));
        peer->disconnectFromHost();
    } else if (!beforeAccept) {
        sendAndClose();
    }
    QVERIFY(waitUntil([&] { return log.names.contains(u"PeerClosed"_qs); }, 30000) && drain());
    QCOMPARE(socket.State(), int(Winsock::sckClosing));
    QVERIFY(atSocket == up);
    // The bytes were announced before the close, and the close came last, once.
    QCOMPARE(log.names.mid(log.names.indexOf(u"PeerClosed"_qs)), QStringList {u"PeerClosed"_qs});
    QCOMPARE(log.names.contains(u"DataArrival"_qs), size > 0);
    QCOMPARE(waitingAtClose, readOnArrival ? 0 : size);
    QCOMPARE(log.synchronous, 0);
    QCOMPARE(thrownCode([&] { socket.SendData("late"); }), WinsockCode::BadState);
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
    if (pending == u"peer closed"_qs) {
        acceptRequests(socket, &server);
        socket.Listen();
        peer = connectPeer(quint16(socket.LocalPort()));
        QVERIFY(waitUntil([&] { return socket.State() == Winsock::sckConnected; }) && drain());
        peer->disconnectFromHost();
    } else if (pending == u"connected"_qs) {
        socket.setRemoteHost(u"127.0.0.1"_qs);
        socket.setRemotePort(server.serverPort());
        socket.Connect();
    } else {
        socket.Listen();
        peer = connectPeer(quint16(socket.LocalPort()));
    }
    // Close just before the first event posted reaches the Winsock.
    EventLog log(socket);
    bool closed = false;
    struct Filter : QObject {
        std::function<bool(QEvent *)> f;
        bool eventFilter(QObject *, QEvent *e) override { return f(e); }
    } filter;
    filter.f = [&](QEvent *e) { return e->type() == QEvent::MetaCall && !closed && (socket.Close(), closed = true, false); };
    socket.installEventFilter(&filter);
    QVERIFY(waitUntil([&] { return closed; }) && drain());
    QVERIFY2(log.names.isEmpty(), qPrintable(log.names.join(u' ')));
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    if (!peer && server.hasPendingConnections())
        peer.reset(server.nextPendingConnection());
    QVERIFY(peer && waitUntil([&] { return unconnected(*peer); }));
}

void TestWinsock::closeOrAbortCycles_data()
{
    QTest::addColumn<bool>("abort");
    QTest::addColumn<int>("received"); // what recv() on the peer returns
    QTest::addColumn<int>("error");    // and errno when that is -1
    QTest::newRow("Close: end of stream") << false << 0 << 0;
    QTest::newRow("Abort: reset") << true << -1 << ECONNRESET;
}

void TestWinsock::closeOrAbortCycles()
{
    QFETCH(bool, abort);
    QFETCH(int, received);
    QFETCH(int, error);
    Winsock socket;
    auto end = [&] { abort ? socket.Abort() : socket.Close(); };
    end(); // safe while closed
    acceptRequests(socket, this);
    quint16 port = 0;
    int before = -1;
    // Listen again on the port just ended each time (our side in TIME_WAIT
    // after a Close); no descriptor may leak.
    for (int i = 0; i < 60; ++i) {
        socket.setLocalPort(port);
        socket.Listen();
        port = quint16(socket.LocalPort());
        const int peer = rawSocket(&port, false, true);
        QVERIFY(peer >= 0 && waitUntil([&] { return socket.State() == Winsock::sckConnected; }));
        end();
        QCOMPARE(socket.State(), int(Winsock::sckClosed));
        // Qt would report a reset and an end of stream alike: read raw.
        pollfd p {peer, POLLIN, 0};
        char byte = 0;
        errno = 0;
        QCOMPARE(::poll(&p, 1, 5000), 1);
        QCOMPARE(int(::recv(peer, &byte, 1, 0)), received);
        QCOMPARE(errno, error);
        ::close(peer);
        if (i == 2) // after a warm-up: whatever Qt opens once is open now
            before = openDescriptors();
        QVERIFY(i <= 2 || openDescriptors() == before);
    }
    socket.Listen();
    end(); // while listening: like Close, the port is free again
    QTcpServer again;
    QVERIFY(socket.State() == Winsock::sckClosed && again.listen(QHostAddress::AnyIPv4, port));
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
