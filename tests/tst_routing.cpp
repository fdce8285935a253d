#include "app/relay_window.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "support/pty_device.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {
// A TCP peer of the hub that keeps everything it receives.
struct Peer {
    QTcpSocket *socket = nullptr;
    QByteArray received;

    void attach(QTcpSocket *s)
    {
        socket = s;
        QObject::connect(s, &QTcpSocket::readyRead, s, [this] { received += socket->readAll(); });
    }
};
} // namespace

// Routing of socket data: the gateway fans out to 1, 2, 3; the others go back
// to the gateway only; everything also goes to the serial port while open.
class RoutingTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void gatewayFansOutToAllAndSerial();
    void othersGoOnlyToGatewayAndSerial_data();
    void othersGoOnlyToGatewayAndSerial();
    void destinationDownGetsNothingNowOrLater();
    void bytesUnchangedAndOrderedOverManyChunks();

private:
    Peer &peerOf(int endpoint);
    void sendFrom(int endpoint, const QByteArray &bytes);

    std::unique_ptr<TestConfig> m_config;
    std::unique_ptr<PtyDevice> m_device;
    std::unique_ptr<ScriptedMessageBoxes> m_boxes;
    std::unique_ptr<Form1> m_form;
    std::unique_ptr<QTcpServer> m_upstream1;
    std::unique_ptr<QTcpServer> m_upstream3;
    std::unique_ptr<QTcpSocket> m_gatewaySocket;
    std::unique_ptr<QTcpSocket> m_server2Socket;
    std::array<Peer, 4> m_peers; // the far end of each endpoint
};

Peer &RoutingTest::peerOf(int endpoint)
{
    return m_peers[size_t(endpoint)];
}

void RoutingTest::sendFrom(int endpoint, const QByteArray &bytes)
{
    peerOf(endpoint).socket->write(bytes);
}

void RoutingTest::init()
{
    m_config = std::make_unique<TestConfig>();
    m_device = std::make_unique<PtyDevice>();
    QVERIFY(m_device->isValid());
    m_config->pinPorts({{4, m_device->slavePath()}});
    m_boxes = std::make_unique<ScriptedMessageBoxes>();
    m_form = std::make_unique<Form1>(*m_boxes, m_config->dir());
    Form1 &form = *m_form;

    // Listeners 0 and 2 with one peer each.
    for (int endpoint : {0, 2}) {
        form.Winsock1[endpoint]->setLocalPort(0);
        form.Winsock1[endpoint]->Listen();
    }
    m_gatewaySocket = std::make_unique<QTcpSocket>();
    m_server2Socket = std::make_unique<QTcpSocket>();
    m_gatewaySocket->connectToHost(QStringLiteral("127.0.0.1"), quint16(form.Winsock1[0]->LocalPort()));
    m_server2Socket->connectToHost(QStringLiteral("127.0.0.1"), quint16(form.Winsock1[2]->LocalPort()));
    peerOf(0).attach(m_gatewaySocket.get());
    peerOf(2).attach(m_server2Socket.get());

    // Forwarders 1 and 3 connected to small upstream servers.
    m_upstream1 = std::make_unique<QTcpServer>();
    m_upstream3 = std::make_unique<QTcpServer>();
    QVERIFY(m_upstream1->listen(QHostAddress::LocalHost, 0));
    QVERIFY(m_upstream3->listen(QHostAddress::LocalHost, 0));
    const std::pair<int, QTcpServer *> upstreams[] = {{1, m_upstream1.get()}, {3, m_upstream3.get()}};
    for (const auto &[endpoint, server] : upstreams) {
        form.Winsock1[endpoint]->setRemoteHost(QStringLiteral("127.0.0.1"));
        form.Winsock1[endpoint]->setRemotePort(server->serverPort());
        form.Winsock1[endpoint]->Connect();
        QVERIFY(server->waitForNewConnection(5000));
        peerOf(endpoint).attach(server->nextPendingConnection());
    }
    for (int endpoint = 0; endpoint < 4; ++endpoint)
        QTRY_COMPARE_WITH_TIMEOUT(form.Winsock1[endpoint]->State(), int(Winsock::sckConnected), 5000);

    form.Com1->setCommPort(4);
    form.Com1->setPortOpen(true);
}

void RoutingTest::cleanup()
{
    m_form.reset();
    for (Peer &peer : m_peers)
        peer = Peer();
    m_gatewaySocket.reset();
    m_server2Socket.reset();
    m_upstream1.reset();
    m_upstream3.reset();
    m_boxes.reset();
    m_device.reset();
    m_config.reset();
}

void RoutingTest::gatewayFansOutToAllAndSerial()
{
    const QByteArray chunk("from the gateway\0\xff\r\n", 21);
    sendFrom(0, chunk);
    for (int endpoint : {1, 2, 3})
        QTRY_COMPARE_WITH_TIMEOUT(peerOf(endpoint).received, chunk, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_device->received(), chunk, 5000);
    QVERIFY(peerOf(0).received.isEmpty());
}

void RoutingTest::othersGoOnlyToGatewayAndSerial_data()
{
    QTest::addColumn<int>("source");
    QTest::newRow("software forwarder") << 1;
    QTest::newRow("second server") << 2;
    QTest::newRow("data-host forwarder") << 3;
}

void RoutingTest::othersGoOnlyToGatewayAndSerial()
{
    QFETCH(int, source);
    const QByteArray chunk = QByteArray("from ") + QByteArray::number(source) + '\0';
    sendFrom(source, chunk);
    QTRY_COMPARE_WITH_TIMEOUT(peerOf(0).received, chunk, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_device->received(), chunk, 5000);

    // A marker from the gateway goes everywhere; when it has arrived, any
    // stray copy of the first chunk would have arrived before it.
    const QByteArray marker("marker");
    sendFrom(0, marker);
    for (int endpoint : {1, 2, 3})
        QTRY_COMPARE_WITH_TIMEOUT(peerOf(endpoint).received.endsWith(marker), true, 5000);
    for (int endpoint : {1, 2, 3}) {
        if (endpoint != source)
            QCOMPARE(peerOf(endpoint).received, marker);
    }
    QCOMPARE(peerOf(source).received, marker);
}

void RoutingTest::destinationDownGetsNothingNowOrLater()
{
    // The software forwarder's server goes away; the others stay.
    peerOf(1).socket->abort();
    QTRY_VERIFY_WITH_TIMEOUT(m_form->Winsock1[1]->State() != int(Winsock::sckConnected), 5000);
    m_form->Com1->setPortOpen(false);

    const QByteArray whileDown("while down");
    sendFrom(0, whileDown);
    QTRY_COMPARE_WITH_TIMEOUT(peerOf(3).received, whileDown, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(peerOf(2).received, whileDown, 5000);

    // It comes back: only what is sent from now on reaches it.
    m_form->Winsock1[1]->Close();
    m_form->Winsock1[1]->Connect();
    QVERIFY(m_upstream1->waitForNewConnection(5000));
    Peer back;
    back.attach(m_upstream1->nextPendingConnection());
    QTRY_COMPARE_WITH_TIMEOUT(m_form->Winsock1[1]->State(), int(Winsock::sckConnected), 5000);
    const QByteArray after("after");
    sendFrom(0, after);
    QTRY_COMPARE_WITH_TIMEOUT(peerOf(3).received, whileDown + after, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(back.received, after, 5000);
    QVERIFY(m_device->received().isEmpty());
}

void RoutingTest::bytesUnchangedAndOrderedOverManyChunks()
{
    QByteArray gatewayStream;
    QByteArray server2Stream;
    auto *random = QRandomGenerator::global();
    for (int i = 0; i < 200; ++i) {
        QByteArray chunk(int(random->bounded(1, 3000)), Qt::Uninitialized);
        random->fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        chunk.append('\0').append('\xff').append("\r\n");
        if (i % 2 == 0) {
            gatewayStream += chunk;
            sendFrom(0, chunk);
        } else {
            server2Stream += chunk;
            sendFrom(2, chunk);
        }
        if (i % 20 == 0)
            QTest::qWait(0); // let the hub read while the peers still send
    }
    QTRY_COMPARE_WITH_TIMEOUT(peerOf(1).received.size(), gatewayStream.size(), 10000);
    QCOMPARE(peerOf(1).received, gatewayStream);
    QTRY_COMPARE_WITH_TIMEOUT(peerOf(3).received.size(), gatewayStream.size(), 10000);
    QCOMPARE(peerOf(3).received, gatewayStream);
    QTRY_COMPARE_WITH_TIMEOUT(peerOf(2).received.size(), gatewayStream.size(), 10000);
    QCOMPARE(peerOf(2).received, gatewayStream);
    QTRY_COMPARE_WITH_TIMEOUT(peerOf(0).received.size(), server2Stream.size(), 10000);
    QCOMPARE(peerOf(0).received, server2Stream);
    // The serial device sees both streams interleaved, each in its own order.
    QTRY_COMPARE_WITH_TIMEOUT(m_device->received().size(),
                              gatewayStream.size() + server2Stream.size(), 10000);
}

QTEST_MAIN(RoutingTest)
#include "tst_routing.moc"
