// Winsock against real loopback peers on OS-chosen ports.
#include "platform/component_error.h"
#include "platform/winsock.h"
#include "support/wait_until.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Peer = std::unique_ptr<QTcpSocket>;

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
    void transfer_data();
    void transfer();
    void eventsPostedBeforeCloseAreDropped_data();
    void eventsPostedBeforeCloseAreDropped();
    void refusedPeerIsToldWhy_data();
    void refusedPeerIsToldWhy();
    void quickPeersKeepTheirAnswer();
};

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
        if (beforeAccept) { // bytes and the end wait for the Accept, which announces both
            sendAndClose();
            QVERIFY(waitUntil([&] { return unconnected(*peer); }));
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
    // The peer may have closed only its sending side: it is sent to until
    // StopSending, also when it closed before the Accept.
    QVERIFY(socket.CanSend());
    socket.StopSending();
    QVERIFY_THROWS_EXCEPTION(ComponentError, socket.SendData("late"));
}

void TestWinsock::eventsPostedBeforeCloseAreDropped_data()
{
    QTest::addColumn<QString>("pending");
    QTest::newRow("ConnectionRequest") << u"request"_qs;
    QTest::newRow("PeerClosed") << u"peer closed"_qs;
}

void TestWinsock::eventsPostedBeforeCloseAreDropped()
{
    QFETCH(QString, pending);
    Winsock socket;
    Peer peer;
    if (pending == u"peer closed"_qs) {
        acceptRequests(socket, &socket);
        socket.Listen();
        peer = connectPeer(quint16(socket.LocalPort()));
        QVERIFY(waitUntil([&] { return socket.State() == Winsock::sckConnected; }) && drain());
        peer->disconnectFromHost();
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
    QVERIFY(peer && waitUntil([&] { return unconnected(*peer); }));
}

void TestWinsock::refusedPeerIsToldWhy_data()
{
    QTest::addColumn<QByteArray>("text"); // the refusal line; empty: none
    QTest::newRow("no text: only the close") << QByteArray();
    QTest::newRow("one line, then the close") << QByteArray("not from here\r\n");
}

// A peer the filter refuses gets the line (or nothing) and the close; no
// request is raised for it.
void TestWinsock::refusedPeerIsToldWhy()
{
    QFETCH(QByteArray, text);
    Winsock listener;
    EventLog events(listener);
    QSignalSpy refused(&listener, &Winsock::PeerRefused);
    listener.setPeerFilter([](const QHostAddress &) { return false; });
    listener.setRefusalText(text);
    listener.Listen();
    const Peer peer = connectPeer(quint16(listener.LocalPort()));
    peer->write("hello?");
    QByteArray got;
    connect(peer.get(), &QTcpSocket::readyRead, this, [&] { got += peer->readAll(); });
    QVERIFY(waitUntil([&] { return unconnected(*peer); }));
    got += peer->readAll();
    QCOMPARE(got, text);
    QCOMPARE(refused.size(), 1);
    QVERIFY(events.names.isEmpty());
}

// 200 peers connect, send their query and shut their sending side while the
// event queue is busy elsewhere, so that every accept comes after the end
// of stream. Each is still a peer: its own address, its query, its answer.
void TestWinsock::quickPeersKeepTheirAnswer()
{
    constexpr int Count = 200;
    Winsock listener;
    std::vector<std::unique_ptr<Winsock>> accepted;
    QHash<quint16, QByteArray> queries; // peer port -> the query it read
    connect(&listener, &Winsock::ConnectionRequest, &listener, [&](qint32 id) {
        Winsock &peer = *accepted.emplace_back(std::make_unique<Winsock>());
        peer.Accept(listener, id);
        if (peer.RemoteHostIP() != u"127.0.0.1"_qs)
            return;
        connect(&peer, &Winsock::PeerClosed, &peer, [&] { // the answer names the query it answers
            queries[peer.PeerPort()] += peer.GetData();
            peer.SendData("answer to " + queries.value(peer.PeerPort()));
            peer.StopSending();
        });
    });
    listener.Listen();
    sockaddr_in to {AF_INET, htons(quint16(listener.LocalPort())), {htonl(INADDR_LOOPBACK)}, {}};
    QHash<int, QByteArray> clients; // descriptor -> its query, then what it read
    const auto cleanup = qScopeGuard([&] { for (int fd : clients.keys()) ::close(fd); });
    for (int i = 0; i < Count; ++i) { // no pass of the event queue in between
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        clients.insert(fd, "query " + QByteArray::number(i) + '\r');
        QVERIFY(::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0);
        QVERIFY(::send(fd, clients[fd].constData(), size_t(clients[fd].size()), 0) == clients[fd].size());
        QCOMPARE(::shutdown(fd, SHUT_WR), 0);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        clients[fd].prepend("answer to ");
    }
    QHash<int, QByteArray> read;
    QSet<int> ended; // read the end of stream
    QVERIFY(waitUntil([&] {
        for (int fd : clients.keys()) {
            char buffer[256];
            for (ssize_t n; !ended.contains(fd) && (n = ::recv(fd, buffer, sizeof buffer, 0)) != -1;)
                n == 0 ? (void)ended.insert(fd) : (void)read[fd].append(buffer, n);
        }
        return ended.size() == Count;
    }, 30000));
    QCOMPARE(int(accepted.size()), Count);
    QCOMPARE(read, clients);
}

QTEST_GUILESS_MAIN(TestWinsock)
#include "tst_winsock.moc"
