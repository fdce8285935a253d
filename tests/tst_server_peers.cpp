#include "engine/socket_endpoint.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"
#include "support/wait_until.h"

#include <QRegularExpression>
#include <QTimer>

#include <utility>
#include <QTest>

// A TCP/IP Server that goes on listening ([network] ServerPeers keep or N):
// its peers share the device, one over the limit is refused or closes the
// oldest, and one that left is replaced at once, without the tick.
class ServerPeersTest : public QObject
{
    Q_OBJECT

private slots:
    void peersShareTheDevice_data();
    void peersShareTheDevice();
};

void ServerPeersTest::peersShareTheDevice_data()
{
    QTest::addColumn<QString>("setting"); // Harborcast.ini [network] ServerPeers
    QTest::addColumn<bool>("kickOldest");
    QTest::addColumn<QString>("refusal"); // [network] RefusalText
    QTest::newRow("keep: a second peer refused, told why")
        << QStringLiteral("keep") << false << QStringLiteral("busy, try later");
    QTest::newRow("3: a fourth peer refused") << QStringLiteral("3") << false << QString();
    QTest::newRow("3: a fourth peer closes the oldest") << QStringLiteral("3") << true << QString();
}

void ServerPeersTest::peersShareTheDevice()
{
    QFETCH(QString, setting);
    QFETCH(bool, kickOldest);
    QFETCH(QString, refusal);
    const int limit = setting == QLatin1String("keep") ? 1 : setting.toInt();
    TestHub hub;
    RelayCore &core = *hub.core;
    const auto write = [&](const char *key, const QString &value) {
        core.settings().write(QStringLiteral("Harborcast"), QStringLiteral("network"), QLatin1String(key), value);
    };
    write("ServerPeers", setting);
    write("ServerPeersKickOldest", kickOldest ? QStringLiteral("true") : QStringLiteral("false"));
    write("RefusalText", refusal);
    core.Form_Load();
    QVERIFY(hub.openSerial());
    core.Text4[0]->setText(QStringLiteral("0"));
    core.Command5_Click(0);
    core.Timer1->stop(); // nothing here may wait for the tick
    const SocketEndpoint &server = core.engine().endpoint(2);
    const auto connectPeer = [&] {
        auto peer = std::make_unique<Peer>(new QTcpSocket);
        peer->socket->connectToHost(QStringLiteral("127.0.0.1"), quint16(core.Winsock1[2]->LocalPort()));
        return peer;
    };

    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < limit; ++i) {
        peers.push_back(connectPeer());
        QVERIFY(waitUntil([&] { return server.connectedPeers() == i + 1; }));
    }
    QCOMPARE(core.Winsock1[2]->State(), int(Winsock::sckListening));
    QCOMPARE(core.Caption(), QStringLiteral("TCP/IP Server: %1 %2").arg(limit).arg(QLatin1String(limit == 1 ? "peer" : "peers")));
    core.Timer1_Timer(); // peers count as connected: no re-listen, no "Listening"
    QCOMPARE(core.Text4[2]->text(), QStringLiteral("Connected"));
    QCOMPARE(core.Text4[0]->backColor(), UiColour::Green);
    QCOMPARE(core.Caption(), QStringLiteral("TCP/IP Server: %1 %2").arg(limit).arg(QLatin1String(limit == 1 ? "peer" : "peers")));

    // Each peer's chunk reaches the device whole; the device's reach every peer.
    QByteArray expected;
    for (std::size_t i = 0; i < peers.size(); ++i) {
        peers[i]->send(QByteArray(100, char('A' + i)));
        expected += QByteArray(100, char('A' + i));
        QVERIFY(waitUntil([&] { return hub.device.received() == expected; }));
    }
    const Engine::Snapshot snapshot = core.engine().snapshot();
    QCOMPARE(snapshot.counters.received[2], quint64(expected.size())); // summed over the peers
    QCOMPARE(snapshot.endpoints[2].peers.size(), qsizetype(limit));
    for (const Engine::PeerState &peer : snapshot.endpoints[2].peers)
        QCOMPARE(peer.received, quint64(100));
    hub.device.send("from the device");
    for (const auto &peer : peers)
        QTRY_COMPARE(peer->received, QByteArray("from the device"));

    // One more: refused (logged), or the oldest closes for it.
    if (!kickOldest)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("TCP/IP Server: peer 127.0.0.1:\\d+ refused, %1 of %1 peers").arg(limit)));
    const std::unique_ptr<Peer> closed = kickOldest ? std::exchange(peers.front(), connectPeer()) : connectPeer();
    QTRY_COMPARE(closed->socket->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(server.connectedPeers(), limit);
    if (!kickOldest) // one line, then the close; nothing without a text
        QCOMPARE(closed->received, refusal.isEmpty() ? QByteArray() : refusal.toUtf8() + "\r\n");
    const Engine::EndpointState after = core.engine().snapshot().endpoints[2];
    QCOMPARE(after.refusedLimit, quint64(kickOldest ? 0 : 1)); // the oldest that went was not refused
    QVERIFY(after.listening);
    hub.device.send("again");
    for (const auto &peer : peers)
        QTRY_VERIFY(peer->received.endsWith("again"));
    QVERIFY(!closed->received.endsWith("again"));

    // One leaves: a newcomer is taken at once.
    peers.back()->socket->disconnectFromHost();
    QVERIFY(waitUntil([&] { return server.connectedPeers() == limit - 1; }));
    peers.back() = connectPeer();
    QVERIFY(waitUntil([&] { return server.connectedPeers() == limit; }));
    peers.back()->send("last");
    QVERIFY(waitUntil([&] { return hub.device.received().endsWith("last"); }));

    // AllowedPeers narrowed: the peers it leaves out go, the server listens on.
    NetworkSettings network = core.networkSettings();
    network.allowedPeers = QStringLiteral("10.0.0.1");
    QVERIFY(core.setNetworkSettings(network, false));
    for (const auto &peer : peers)
        QTRY_COMPARE(peer->socket->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(waitUntil([&] { return server.connectedPeers() == 0; }));
    QVERIFY(core.engine().snapshot().endpoints[2].listening);
}

QTEST_GUILESS_MAIN(ServerPeersTest)
#include "tst_server_peers.moc"
