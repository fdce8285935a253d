// The hub by itself, as a --devices run drives it: no window, no handlers,
// its own events and its own tick. Real pseudo-terminals and loopback peers.

#include "engine/hub.h"
#include "engine/serial_bridge.h"
#include "engine/socket_endpoint.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "support/pty_device.h"
#include "support/test_config.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {
constexpr int Port = 4;
const int Server = endpointOf(EndpointRole::ServerListener);
const int Software = endpointOf(EndpointRole::SoftwareForwarder);

// Everything a socket received so far, as it arrives.
struct Received {
    explicit Received(QTcpSocket &socket)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this, &socket] { bytes += socket.readAll(); });
    }
    QByteArray bytes;
};

std::unique_ptr<QTcpSocket> connectTo(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket->waitForConnected(5000) ? std::move(socket) : nullptr;
}
} // namespace

class HubTest : public QObject
{
    Q_OBJECT

private slots:
    void servesItsOwnEvents_data();
    void servesItsOwnEvents();
    void tickListensAgainOnTheSamePort();
    void returningDeviceOpensAgain();
    void forwarderReconnectsOnTheTick();
};

void HubTest::servesItsOwnEvents_data()
{
    QTest::addColumn<QString>("serverPeers");
    QTest::newRow("one peer") << QStringLiteral("1");
    QTest::newRow("two peers while listening") << QStringLiteral("2");
}

// Listen, accept and relay both ways with nothing but the hub: with several
// peers each gets the device's bytes, and the listener goes on listening.
void HubTest::servesItsOwnEvents()
{
    QFETCH(QString, serverPeers);
    TestConfig config;
    PtyDevice device;
    config.pinPorts({{Port, device.slavePath()}});
    Hub hub(config.dir());
    NetworkSettings network = hub.network();
    QVERIFY(NetworkSettings::serverPeersFromText(serverPeers, &network.serverPeers));
    hub.setNetwork(network);
    hub.serve();
    hub.openPort(Port);
    QSignalSpy changed(&hub, &Hub::endpointChanged);
    const quint16 port = quint16(hub.listen(Server, 0));
    QVERIFY(port != 0);
    QVERIFY(changed.count() >= 1);

    const bool several = serverPeers != QStringLiteral("1");
    const auto first = connectTo(port);
    QVERIFY(first);
    Received fromFirst(*first);
    QTRY_COMPARE(hub.endpoint(Server).state(), int(Winsock::sckConnected));
    std::unique_ptr<QTcpSocket> second;
    if (several) {
        second = connectTo(port);
        QVERIFY(second);
        QTRY_COMPARE(hub.endpoint(Server).connectedPeers(), 2);
        QCOMPARE(hub.endpoint(Server).socket().State(), int(Winsock::sckListening));
    }
    first->write("to the device");
    QTRY_COMPARE(device.received(), QByteArray("to the device"));
    device.send("answer");
    QTRY_COMPARE(fromFirst.bytes, QByteArray("answer"));
    if (several) {
        QTRY_COMPARE(second->bytesAvailable(), qint64(6));
        QCOMPARE(second->readAll(), QByteArray("answer"));
    }
}

// A listener that went down while armed listens again on the tick, on the
// port the system chose the first time; one stopped stays down.
void HubTest::tickListensAgainOnTheSamePort()
{
    TestConfig config;
    Hub hub(config.dir());
    const qint32 port = hub.listen(Server, 0);
    hub.endpoint(Server).socket().Close();
    hub.tick();
    QCOMPARE(hub.endpoint(Server).socket().State(), int(Winsock::sckListening));
    QCOMPARE(hub.endpoint(Server).socket().LocalPort(), port);
    QVERIFY(connectTo(quint16(port)));

    hub.stopListening(Server);
    hub.tick();
    QCOMPARE(hub.endpoint(Server).socket().State(), int(Winsock::sckClosed));
    QVERIFY(!hub.endpoint(Server).armed);
}

// A device that vanishes is noted; the tick opens it again once it is
// back (a new pty behind the same path), and it relays.
void HubTest::returningDeviceOpensAgain()
{
    TestConfig config;
    auto device = std::make_unique<PtyDevice>();
    const QString link = config.dir() + QStringLiteral("/device");
    QVERIFY(QFile::link(device->slavePath(), link));
    config.pinPorts({{Port, link}});
    Hub hub(config.dir());
    hub.serve();
    hub.openPort(Port);
    QSignalSpy portChanged(&hub, &Hub::portChanged);
    device->vanish();
    QTRY_COMPARE(hub.lostPort(), Port);
    QVERIFY(!hub.serial().comm().PortOpen());
    QVERIFY(portChanged.count() >= 1);

    QVERIFY(QFile::remove(link));
    hub.tick();
    QCOMPARE(hub.lostPort(), Port); // not back yet: still waited for
    device = std::make_unique<PtyDevice>();
    QVERIFY(QFile::link(device->slavePath(), link));
    hub.tick();
    QVERIFY(hub.serial().comm().PortOpen());
    QCOMPARE(hub.lostPort(), 0);
    const quint16 port = quint16(hub.listen(Server, 0));
    const auto peer = connectTo(port);
    QVERIFY(peer);
    peer->write("back");
    QTRY_COMPARE(device->received(), QByteArray("back"));
}

// A forwarder connects where it was told; when its server drops it, the
// tick connects it again, and the device's bytes reach it.
void HubTest::forwarderReconnectsOnTheTick()
{
    TestConfig config;
    PtyDevice device;
    config.pinPorts({{Port, device.slavePath()}});
    QTcpServer upstream;
    QVERIFY(upstream.listen(QHostAddress::LocalHost));
    Hub hub(config.dir());
    hub.serve();
    hub.openPort(Port);
    hub.connectTo(Software, QStringLiteral("127.0.0.1"), upstream.serverPort());
    QVERIFY(upstream.waitForNewConnection(5000));
    QTcpSocket *taken = upstream.nextPendingConnection();
    QTRY_COMPARE(hub.endpoint(Software).state(), int(Winsock::sckConnected));
    taken->abort();
    QTRY_VERIFY(hub.endpoint(Software).state() != int(Winsock::sckConnected));
    hub.tick();
    QVERIFY(upstream.waitForNewConnection(5000));
    QTcpSocket *again = upstream.nextPendingConnection();
    QTRY_COMPARE(hub.endpoint(Software).state(), int(Winsock::sckConnected));
    device.send("upstream");
    QTRY_COMPARE(again->bytesAvailable(), qint64(8));
    QCOMPARE(again->readAll(), QByteArray("upstream"));

    hub.closeForwarder(Software);
    hub.tick();
    QCOMPARE(hub.endpoint(Software).socket().State(), int(Winsock::sckClosed)); // no Connect started
}

QTEST_GUILESS_MAIN(HubTest)
#include "tst_hub.moc"
