#include "app/command_line.h"
#include "app/startup.h"
#include "monitor/metrics_server.h"
#include "platform/winsock.h"
#include "engine/capture_file.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"
#include "support/wait_until.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {
// The bytes of every record from `source` in a capture file, in order.
QByteArray capturedFrom(const QString &path, const QString &source)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes;
    bool taking = false;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.startsWith("  ")) {
            taking = line.contains(" " + source.toUtf8() + " -> ");
            continue;
        }
        if (taking) // "  00000010  61 62 ...  |ab|": the hex fields between offset and bar
            bytes += QByteArray::fromHex(line.mid(12, line.indexOf(" |") - 12));
    }
    return bytes;
}

// A peer from a chosen loopback address.
std::unique_ptr<Peer> peerFrom(const QString &address, const QHostAddress &to, quint16 port)
{
    auto peer = std::make_unique<Peer>(new QTcpSocket);
    if (!peer->socket->bind(QHostAddress(address), 0))
        return nullptr;
    peer->socket->connectToHost(to, port);
    return peer;
}
} // namespace

// Who may connect, and what flowed: counters and the capture file.
class TrafficTest : public QObject
{
    Q_OBJECT

private slots:
    void onlyAllowedPeersAreTaken_data();
    void onlyAllowedPeersAreTaken();
    void consoleObeysAllowedPeersAsTheyChange();
    void ipv6PeerConnectsByDefault();
    void countersAndCaptureGiveBackTheBytes();
};

void TrafficTest::onlyAllowedPeersAreTaken_data()
{
    QTest::addColumn<QByteArray>("allowed"); // the line as written by hand
    QTest::addColumn<bool>("secondIn");      // the peer from 127.0.0.2 is taken
    QTest::addColumn<QString>("inEffect");   // the startup log's rules
    QTest::newRow("one address") << QByteArray("127.0.0.2") << true << u"127.0.0.2"_qs;
    QTest::newRow("unquoted list") << QByteArray("10.0.0.0/8, 127.0.0.2") << true
                                   << u"10.0.0.0/8, 127.0.0.2"_qs;
    QTest::newRow("quoted, junk left out") << QByteArray("\"bogus, 127.0.0.2/31\"") << true
                                           << u"127.0.0.2/31"_qs;
    QTest::newRow("trailing comma") << QByteArray("127.0.0.2,") << true << u"127.0.0.2"_qs;
    QTest::newRow("IPv4-mapped") << QByteArray("::ffff:127.0.0.2") << true << u"127.0.0.2"_qs;
    QTest::newRow("only junk lets nobody in") << QByteArray("bogus") << false << u"nobody"_qs;
    QTest::newRow("unquoted junk list") << QByteArray("bogus, junk") << false << u"nobody"_qs;
    QTest::newRow("unreadable lets nobody in") << QByteArray("@Variant(junk)") << false << u"nobody"_qs;
}

void TrafficTest::onlyAllowedPeersAreTaken()
{
    QFETCH(QByteArray, allowed);
    QFETCH(bool, secondIn);
    QFETCH(QString, inEffect);
    TestHub hub;
    QFile ini(hub.config.dir() + QStringLiteral("/Harborcast.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write("[network]\nAllowedPeers=" + allowed + '\n') > 0);
    ini.close();
    QTest::ignoreMessage(QtInfoMsg, qPrintable(u"allowed peers: "_qs + inEffect));
    hub.core = std::make_unique<RelayCore>(hub.boxes, hub.config.dir()); // reads it at start
    QVERIFY(hub.openSerial());
    hub.core->Text4[0]->setText(QStringLiteral("0"));
    hub.core->Command5_Click(0);
    Winsock &socket = *hub.core->Winsock1[2];
    const quint16 port = quint16(socket.LocalPort());
    QSignalSpy refused(&socket, &Winsock::PeerRefused);

    // Refused: closed at once, the endpoint goes on listening as it was.
    auto outsider = peerFrom(QStringLiteral("127.0.0.1"), QHostAddress::LocalHost, port);
    QVERIFY(outsider && refused.wait(5000));
    QCOMPARE(refused.constFirst().constFirst().toString(), QStringLiteral("127.0.0.1"));
    QVERIFY(waitUntil([&] { return outsider->socket->state() == QAbstractSocket::UnconnectedState; }));
    QCOMPARE(socket.State(), int(Winsock::sckListening));
    QCOMPARE(hub.core->Text4[0]->backColor(), UiColour::Yellow);

    auto insider = peerFrom(QStringLiteral("127.0.0.2"), QHostAddress::LocalHost, port);
    if (!secondIn) {
        QVERIFY(insider && refused.wait(5000));
        return;
    }
    QVERIFY(waitUntil([&] { return socket.State() == Winsock::sckConnected; }));
    hub.device.send("to the insider");
    QVERIFY(waitUntil([&] { return insider->received == "to the insider"; }));
    QVERIFY(outsider->received.isEmpty());
    QCOMPARE(refused.size(), 1);
    QCOMPARE(hub.core->engine().snapshot().endpoints[2].refused, 1U);

    // The rules apply to who is connected when they change: a list that
    // still names the insider keeps it, one without it closes it and the
    // server listens again.
    NetworkSettings network = hub.core->networkSettings();
    network.allowedPeers = QStringLiteral("10.0.0.0/8, 127.0.0.2");
    QVERIFY(hub.core->setNetworkSettings(network, false));
    hub.device.send(" still");
    QVERIFY(waitUntil([&] { return insider->received == "to the insider still"; }));
    network.allowedPeers = QStringLiteral("127.0.0.3");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(u"^TCP/IP Server: peer 127\\.0\\.0\\.2:\\d+ closed, "
                                                       "not in AllowedPeers now$"_qs));
    QVERIFY(hub.core->setNetworkSettings(network, false));
    QVERIFY(waitUntil([&] { return insider->socket->state() == QAbstractSocket::UnconnectedState; }));
    hub.core->Timer1_Timer();
    QCOMPARE(socket.State(), int(Winsock::sckListening));
}

// The console's connections, a subscriber and a scraper, meet AllowedPeers
// as the hub's peers do when it changes.
void TrafficTest::consoleObeysAllowedPeersAsTheyChange()
{
    TestHub hub;
    CommandLine options;
    options.metrics = QStringLiteral("127.0.0.1:0");
    QStringList failures;
    const std::unique_ptr<MetricsServer> server = serveMetrics(*hub.core, options, &failures);
    QVERIFY2(server && failures.isEmpty(), qPrintable(failures.join(u'\n')));
    const auto *listener = server->findChild<QTcpServer *>();
    QVERIFY(listener);
    QWebSocket subscriber;
    QSignalSpy greeted(&subscriber, &QWebSocket::textMessageReceived);
    subscriber.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/events").arg(listener->serverPort())));
    QVERIFY(greeted.wait(5000));
    QTcpSocket scraper;
    scraper.connectToHost(QHostAddress::LocalHost, listener->serverPort());
    QTRY_COMPARE(server->openConnections(), 2);

    NetworkSettings network = hub.core->networkSettings();
    network.allowedPeers = QStringLiteral("127.0.0.1");
    QVERIFY(hub.core->setNetworkSettings(network, false));
    QCOMPARE(server->openConnections(), 2);
    QCOMPARE(subscriber.state(), QAbstractSocket::ConnectedState);
    network.allowedPeers = QStringLiteral("10.0.0.1");
    QVERIFY(hub.core->setNetworkSettings(network, false));
    QTRY_COMPARE(subscriber.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(scraper.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(server->openConnections(), 0);
}

void TrafficTest::ipv6PeerConnectsByDefault()
{
    TestHub hub;
    hub.core->Text4[0]->setText(QStringLiteral("0"));
    hub.core->Command5_Click(0);
    Peer peer(new QTcpSocket);
    peer.socket->connectToHost(QHostAddress::LocalHostIPv6, quint16(hub.core->Winsock1[2]->LocalPort()));
    QVERIFY(waitUntil([&] { return hub.core->Winsock1[2]->State() == Winsock::sckConnected; }));
    QCOMPARE(hub.core->Winsock1[2]->RemoteHostIP(), QStringLiteral("::1"));
}

void TrafficTest::countersAndCaptureGiveBackTheBytes()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    QVERIFY(hub.openSerial());
    auto peer = hub.connectToListener(2);
    QVERIFY(peer);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("capture.txt"));
    QString error;
    QVERIFY(core.startCapture(path, CaptureFile::DefaultLimit, &error));
    QByteArray up(70000, Qt::Uninitialized), down(50000, Qt::Uninitialized);
    QRandomGenerator(1234).fillRange(reinterpret_cast<quint32 *>(up.data()), up.size() / 4);
    QRandomGenerator(4321).fillRange(reinterpret_cast<quint32 *>(down.data()), down.size() / 4);
    peer->send(up);
    hub.device.send(down);
    QVERIFY(waitUntil([&] { return hub.device.received().size() >= up.size() && peer->received.size() >= down.size(); }));
    QCOMPARE(hub.device.received(), up);
    QCOMPARE(peer->received, down);

    const ByteCounters &counted = core.counters();
    QCOMPARE(counted.received[2], quint64(up.size()));
    QCOMPARE(counted.sent[SerialNode], quint64(up.size()));
    QCOMPARE(counted.received[SerialNode], quint64(down.size()));
    QCOMPARE(counted.sent[2], quint64(down.size()));
    QCOMPARE(counted.sent[0] + counted.sent[1] + counted.sent[3], quint64(0));
    QCOMPARE(capturedFrom(path, QStringLiteral("TCP/IP Server")), up);
    QCOMPARE(capturedFrom(path, QStringLiteral("serial")), down);

    // At its limit the capture stops by itself and says so.
    QSignalSpy changed(&core, &RelayCore::captureChanged);
    QVERIFY(core.startCapture(path, 1000, &error));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("reached its limit")));
    peer->send(QByteArray(4000, 'x'));
    QVERIFY(waitUntil([&] { return !core.capturing(); }));
    QCOMPARE(changed.constLast().constFirst().toBool(), false);
    QVERIFY(QFile(path).size() <= 1000);

    // A disk that fills mid-record stops it with the system's reason (a file
    // size limit cuts the write short as a full disk does).
    CaptureFile file;
    QVERIFY(file.open(path, CaptureFile::DefaultLimit, &error));
    rlimit limit {};
    ::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &limit) == 0);
    const rlimit small {100, limit.rlim_max};
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    const bool written = file.record(2, {}, QByteArray(100, 'x'), &error);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limit) == 0);
    QVERIFY(!written);
    QCOMPARE(error, QStringLiteral("writing the capture failed: File too large"));
}

QTEST_GUILESS_MAIN(TrafficTest)
#include "tst_traffic.moc"
