// Winsock against real loopback peers: QTcpSocket/QTcpServer in the test are
// the other side, and every port is chosen by the OS.

#include "platform/component_error.h"
#include "platform/winsock.h"
#include "support/loopback.h"
#include "support/process_stats.h"
#include "support/wait_until.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

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

// Delivers every event posted so far (they run in order): "no event came" is
// then checked without waiting for a time.
[[nodiscard]] bool drain()
{
    bool reached = false;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { reached = true; }, Qt::QueuedConnection);
    return waitUntil([&] { return reached; });
}

// Random bytes that surely hold a NUL and a 0xFF.
QByteArray randomBytes(qsizetype size, quint32 key)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(key).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    bytes[0] = '\0';
    bytes[size - 1] = char(0xFF);
    return bytes;
}

bool unconnected(const QAbstractSocket &socket)
{
    return socket.state() == QAbstractSocket::UnconnectedState;
}

// The events of one Winsock in the order they were delivered.
struct EventLog : QObject {
    explicit EventLog(Winsock &socket)
    {
        auto add = [this](const QString &name) { names << name; };
        connect(&socket, &Winsock::ConnectionRequest, this,
                [=] { add(QStringLiteral("ConnectionRequest")); });
        connect(&socket, &Winsock::Connected, this, [=] { add(QStringLiteral("Connected")); });
        connect(&socket, &Winsock::DataArrival, this, [=] { add(QStringLiteral("DataArrival")); });
        connect(&socket, &Winsock::PeerClosed, this, [=] { add(QStringLiteral("PeerClosed")); });
        connect(&socket, &Winsock::Error, this,
                [=](int number) { add(QStringLiteral("Error %1").arg(number)); });
    }
    // Runs a call on the Winsock; an event delivered before it returns was
    // raised synchronously, which handlers must never see.
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

// Listens on `port` (0: the OS chooses) unless listening already, and
// accepts one peer the window's way, Close() and Accept(id) in the handler;
// null on failure.
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
        return socket.State() == Winsock::sckConnected
            && peer->state() == QAbstractSocket::ConnectedState;
    });
    return up ? std::move(peer) : nullptr;
}

// Closes the Winsock just before the first posted event reaches it: that
// event was posted before the Close and is delivered after it.
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
    void listenAndAcceptOnePeer();
    void peerCloseAfterData_data();
    void peerCloseAfterData();
    void connectRefusedThenByName();
    void megabyteBothWaysAfterPause_data();
    void megabyteBothWaysAfterPause();
    void unacceptedRequestIsClosed_data();
    void unacceptedRequestIsClosed();
    void relistenCyclesLeakNoDescriptor();
    void eventsPostedBeforeCloseAreDropped_data();
    void eventsPostedBeforeCloseAreDropped();
};

void TestWinsock::listenAndAcceptOnePeer()
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
    QCOMPARE(thrownCode([&] { socket.Listen(); }), 0);
    socket.Close(); // the port is taken again at once
    Peer peer = acceptPeer(socket, port);
    QVERIFY(peer);
    QCOMPARE(log.names, QStringList {QStringLiteral("ConnectionRequest")});
    QCOMPARE(socket.RemoteHostIP(), QStringLiteral("127.0.0.1"));

    // One connection only: the listener is gone, a second peer is turned away
    // and never offered.
    Peer second = connectPeer(port);
    QVERIFY(waitUntil([&] { return unconnected(*second); }));
    QVERIFY(drain());
    QCOMPARE(log.names.size(), 1);
    QCOMPARE(socket.State(), int(Winsock::sckConnected));
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
    QTest::newRow("5 bytes, read on arrival") << 5 << true << false;
    // More than one read of the OS socket, less than the read limit.
    QTest::newRow("200000 bytes, read on arrival") << 200000 << true << false;
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
            // The offered connection (a child of the Winsock until accepted)
            // reads the bytes and the end: Accept has both to announce.
            sendAndClose();
            const auto *offered = socket.findChild<QTcpSocket *>({}, Qt::FindDirectChildrenOnly);
            QVERIFY(offered);
            QVERIFY(waitUntil([&] { return unconnected(*offered); }));
        }
        log.call([&] {
            socket.Close();
            socket.Accept(id);
        });
        if (!beforeAccept)
            sendAndClose();
    });
    QByteArray received;
    if (readOnArrival)
        connect(&socket, &Winsock::DataArrival, &log,
                [&] { log.call([&] { received += socket.GetData(); }); });
    qint64 waitingAtClose = -1;
    connect(&socket, &Winsock::PeerClosed, &log, [&] {
        waitingAtClose = socket.BytesReceived();
        received += socket.GetData();
    });
    log.call([&] { socket.Listen(); });
    peer = connectPeer(quint16(socket.LocalPort()));
    QVERIFY(waitUntil([&] { return log.names.contains(QStringLiteral("PeerClosed")); }));
    QVERIFY(drain());
    QCOMPARE(socket.State(), int(Winsock::sckClosing));
    QCOMPARE(received, sent);
    // The bytes were announced before the close, and the close came last, once.
    QCOMPARE(log.names.last(), QStringLiteral("PeerClosed"));
    QCOMPARE(log.names.count(QStringLiteral("PeerClosed")), 1);
    QCOMPARE(log.names.contains(QStringLiteral("DataArrival")), size > 0);
    QCOMPARE(waitingAtClose, readOnArrival ? 0 : size);
    QCOMPARE(log.synchronous, 0);
    QCOMPARE(thrownCode([&] { socket.SendData("late"); }), WinsockCode::BadState);
}

void TestWinsock::connectRefusedThenByName()
{
    Winsock socket;
    EventLog log(socket);
    socket.setRemoteHost(QStringLiteral("localhost"));
    socket.setRemotePort(freeLoopbackPort());
    log.call([&] { socket.Connect(); });
    QVERIFY(waitUntil([&] { return !log.names.isEmpty(); }));
    QCOMPARE(log.names,
             QStringList {QStringLiteral("Error %1").arg(WinsockCode::ConnectionRefused)});
    QCOMPARE(socket.State(), int(Winsock::sckError));

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::Any, 0)); // IPv4 and IPv6, whatever the name gives
    socket.setRemotePort(server.serverPort());
    log.names.clear();
    // From 9 it starts afresh. The supervision tick's way: Connect again while
    // the first is under way, at once (the name is cached by now, so the
    // connection is already on its way) and on every wake. It must neither
    // throw nor restart, which would drop the lookup or the connection.
    auto connectAgain = [&] {
        const int state = socket.State();
        if (state >= Winsock::sckResolvingHost && state <= Winsock::sckConnecting)
            log.call([&] { socket.Connect(); });
        return !log.names.isEmpty();
    };
    log.call([&] { socket.Connect(); });
    connectAgain();
    QVERIFY(waitUntil(connectAgain));
    QCOMPARE(log.names, QStringList {QStringLiteral("Connected")});
    QCOMPARE(socket.State(), int(Winsock::sckConnected));
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
    QByteArray atSocket;
    connect(&socket, &Winsock::DataArrival, &socket, [&](qint64 bytesTotal) {
        announced << bytesTotal;
        atSocket += socket.GetData();
    });
    QByteArray atPeer;
    connect(peer.get(), &QIODevice::readyRead, peer.get(), [&] { atPeer += peer->readAll(); });

    // Paused, nothing is announced and no more than the read limit is taken
    // from the OS; TCP holds the rest at the peer.
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
    // Nothing more comes in while the buffer is full: resuming announces it.
    socket.setReceivePaused(false);
    QVERIFY(waitUntil([&] { return atSocket.size() >= up.size(); }, 30000));
    QCOMPARE(announced.first(), Winsock::ReadBufferLimit);
    QCOMPARE(atSocket, up);
    QCOMPARE(atPeer, down);
    QCOMPARE(socket.BytesToSend(), 0);
}

void TestWinsock::unacceptedRequestIsClosed_data()
{
    QTest::addColumn<QString>("handler");
    QTest::newRow("ignores it") << QStringLiteral("ignore");
    QTest::newRow("Accept without Close") << QStringLiteral("accept");
    QTest::newRow("throws out of the handler") << QStringLiteral("throw");
}

void TestWinsock::unacceptedRequestIsClosed()
{
    QFETCH(QString, handler);
    Winsock socket;
    const auto connection = connect(&socket, &Winsock::ConnectionRequest, &socket, [&](qint32 id) {
        if (handler == QStringLiteral("accept"))
            QCOMPARE(thrownCode([&] { socket.Accept(id); }), WinsockCode::BadState);
        else if (handler == QStringLiteral("throw"))
            throw ComponentError(1, QStringLiteral("handler failure"));
    });
    if (handler == QStringLiteral("throw"))
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("threw")));
    socket.Listen();
    Peer peer = connectPeer(quint16(socket.LocalPort()));
    // Closed once the handler returned: the peer sees the end.
    QVERIFY(waitUntil([&] { return unconnected(*peer); }));

    // Still listening, and the next request is offered and can be accepted.
    disconnect(connection);
    QCOMPARE(socket.State(), int(Winsock::sckListening));
    QVERIFY(acceptPeer(socket));
}

void TestWinsock::relistenCyclesLeakNoDescriptor()
{
    // Every cycle listens again on the port just closed, which the accepted
    // connection leaves in TIME_WAIT on one side: we close first on even
    // cycles, the peer on odd ones.
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
        // Close releases at once: no event pass between it and the count.
        socket.Close();
        return true;
    };

    QVERIFY(runCycle(0) && runCycle(1)); // warm-up: whatever Qt opens once is open now
    const int before = openDescriptors();
    for (int i = 0; i < 200; ++i) {
        QVERIFY2(runCycle(i), qPrintable(QStringLiteral("cycle %1").arg(i)));
        QCOMPARE(openDescriptors(), before);
    }
}

void TestWinsock::eventsPostedBeforeCloseAreDropped_data()
{
    QTest::addColumn<QString>("pending");
    QTest::newRow("Connected") << QStringLiteral("connected");
    QTest::newRow("ConnectionRequest") << QStringLiteral("request");
    QTest::newRow("PeerClosed") << QStringLiteral("peer closed");
}

void TestWinsock::eventsPostedBeforeCloseAreDropped()
{
    QFETCH(QString, pending);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Winsock socket;
    Peer peer;
    if (pending == QStringLiteral("peer closed")) {
        QVERIFY((peer = acceptPeer(socket)));
        QVERIFY(drain()); // nothing left in flight
    }
    EventLog log(socket);
    CloseBeforeFirstEvent filter;
    socket.installEventFilter(&filter);
    if (pending == QStringLiteral("connected")) {
        socket.setRemoteHost(QStringLiteral("127.0.0.1"));
        socket.setRemotePort(server.serverPort());
        socket.Connect();
        QVERIFY(waitUntil([&] { return server.hasPendingConnections(); }));
        peer.reset(server.nextPendingConnection());
    } else if (pending == QStringLiteral("request")) {
        socket.Listen();
        peer = connectPeer(quint16(socket.LocalPort()));
    } else {
        peer->disconnectFromHost();
    }
    QVERIFY(waitUntil([&] { return filter.fired; }));
    QVERIFY(drain());
    QVERIFY2(log.names.isEmpty(), qPrintable(log.names.join(u' ')));
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QVERIFY(waitUntil([&] { return unconnected(*peer); }));
}

QTEST_GUILESS_MAIN(TestWinsock)
#include "tst_winsock.moc"
