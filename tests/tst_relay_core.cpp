// The relay core without a window: routing between the four endpoints and
// the serial port, the two listeners, the two forwarders, the supervision
// tick and the state display, over loopback sockets and a pseudo-terminal.

#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {

constexpr int Serial = SerialNode;

// Where each source's chunks must arrive, written out here rather than read
// from the route table, so a wrong table entry fails.
const QList<int> Expected[EndpointCount] = {{1, 2, 3, Serial}, {0, Serial}, {0, Serial}, {0, Serial}};

// What endpoint i shows, saves and arms, written out here rather than read
// from the core's endpoint table.
struct Fields {
    Control *port, *status, *host;
    std::array<Control *, 2> buttons;
    QString portKey, hostKey;
    bool *armed;
};
Fields fieldsOf(RelayCore &c, int endpoint)
{
    const Fields all[] = {
        {c.Text1[0], c.Text1[1], nullptr, c.Command1, QStringLiteral("LocalPort"), {}, nullptr},
        {c.Text2[0], c.Text2[2], c.Text2[1], {}, QStringLiteral("RemotePort"),
         QStringLiteral("RemoteHost"), &c.SoftwareForwarderArmed},
        {c.Text4[0], c.Text4[2], nullptr, c.Command5, QStringLiteral("LocalPort2"), {}, &c.Server2Armed},
        {c.Text2[5], c.Text2[3], c.Text2[4], {}, QStringLiteral("RemotePort3"),
         QStringLiteral("RemoteHost3"), &c.DataHostForwarderArmed}};
    return all[endpoint];
}

QString saved(Hub &hub, const QString &key)
{
    return hub.core->settings().read(QStringLiteral("Harborcast"), QStringLiteral("startup"), key,
                                     QStringLiteral("<unset>"));
}

// The Listen (0) or Close (1) button of listener `endpoint`.
void press(RelayCore &core, int endpoint, int button)
{
    endpoint == 0 ? core.Command1_Click(button) : core.Command5_Click(button);
}

void addEndpoints(std::initializer_list<int> endpoints)
{
    QTest::addColumn<int>("endpoint");
    const char *names[] = {"gateway", "software forwarder", "second server", "data-host forwarder"};
    for (int endpoint : endpoints)
        QTest::newRow(names[endpoint]) << endpoint;
}

// Every endpoint connected to a peer of the test and the serial port open.
// The supervision tick is stopped: tests that want it call it.
struct WiredHub : Hub {
    QTcpServer upstream[2]; // for the forwarders 1 and 3
    std::unique_ptr<Peer> peers[EndpointCount];

    bool wire()
    {
        peers[0] = connectToListener(0);
        peers[2] = connectToListener(2);
        peers[1] = connectForwarder(1, upstream[0]);
        peers[3] = connectForwarder(3, upstream[1]);
        core->Timer1->stop();
        return peers[0] && peers[1] && peers[2] && peers[3] && openSerial();
    }
    QByteArray receivedAt(int node) const
    {
        return node == Serial ? device.received() : peers[node]->received;
    }
};

} // namespace

class RelayCoreTest : public QObject
{
    Q_OBJECT

private slots:
    void routing_data() { addEndpoints({0, 1, 2, 3}); }
    void routing();
    void destinationDownGetsNothingNowOrLater();
    void manyChunksBothWaysUnchangedInOrder();
    void listener_data() { addEndpoints({0, 2}); }
    void listener();
    void connectAndClose_data() { addEndpoints({1, 3}); }
    void connectAndClose();
    void connectPortTextErrors_data();
    void connectPortTextErrors();
    void tickReconnectsArmedForwarder_data() { addEndpoints({1, 3}); }
    void tickReconnectsArmedForwarder();
    void tickRearmsSecondServerAndShowsStates();
    void stateDisplay_data();
    void stateDisplay();
};

// A chunk reaches exactly its destinations. Two markers follow, one from the
// gateway and one from the second server; whatever arrived at a node before
// its marker is everything the chunk could have sent there.
void RelayCoreTest::routing()
{
    QFETCH(int, endpoint);
    WiredHub hub;
    QVERIFY(hub.wire());
    const QByteArray chunk = QByteArray("chunk\0\xff from ", 13) + QByteArray::number(endpoint);
    hub.peers[endpoint]->send(chunk);
    for (int to : Expected[endpoint])
        QTRY_COMPARE(hub.receivedAt(to), chunk);

    QByteArray expected[NodeCount];
    for (int to : Expected[endpoint])
        expected[to] = chunk;
    for (int from : {0, 2}) {
        const QByteArray marker = "marker from " + QByteArray::number(from);
        hub.peers[from]->send(marker);
        for (int to : Expected[from]) {
            expected[to] += marker;
            QTRY_VERIFY(hub.receivedAt(to).endsWith(marker));
        }
    }
    for (int to = 0; to < NodeCount; ++to)
        QCOMPARE(hub.receivedAt(to), expected[to]);
}

void RelayCoreTest::destinationDownGetsNothingNowOrLater()
{
    WiredHub hub;
    QVERIFY(hub.wire());
    hub.peers[1]->socket->abort();
    QTRY_VERIFY(hub.core->Winsock1[1]->State() != Winsock::sckConnected);
    hub.core->Command2_Click(1);

    hub.peers[0]->send("while down");
    QTRY_COMPARE(hub.peers[3]->received, QByteArray("while down"));
    QTRY_COMPARE(hub.peers[2]->received, QByteArray("while down"));

    // Both come back: only what is sent from now on reaches them.
    hub.core->Command3_Click(0);
    QVERIFY(hub.upstream[0].waitForNewConnection(5000));
    Peer back(hub.upstream[0].nextPendingConnection());
    QTRY_COMPARE(hub.core->Winsock1[1]->State(), int(Winsock::sckConnected));
    QVERIFY(hub.openSerial());
    hub.peers[0]->send("after");
    QTRY_COMPARE(hub.peers[3]->received, QByteArray("while downafter"));
    QTRY_COMPARE(back.received, QByteArray("after"));
    QTRY_COMPARE(hub.device.received(), QByteArray("after"));
}

// The gateway and the second server send at once. Gateway bytes are even
// (NUL among them), second-server bytes odd (0xFF among them), so the serial
// device's interleaved stream splits back into both.
void RelayCoreTest::manyChunksBothWaysUnchangedInOrder()
{
    WiredHub hub;
    QVERIFY(hub.wire());
    QRandomGenerator random(1234);
    QByteArray streams[2];
    for (int i = 0; i < 200; ++i) {
        const int from = i % 2;
        QByteArray chunk(int(random.bounded(1, 3000)), Qt::Uninitialized);
        for (char &byte : chunk)
            byte = char(random.bounded(128) * 2 + from);
        chunk += from == 0 ? '\0' : '\xff';
        streams[from] += chunk;
        hub.peers[from * 2]->send(chunk);
        if (i % 20 == 0)
            QTest::qWait(0); // the hub reads while the peers still send
    }
    for (int to : {1, 2, 3, 0}) {
        const QByteArray &stream = streams[to == 0 ? 1 : 0];
        QTRY_COMPARE_WITH_TIMEOUT(hub.peers[to]->received.size(), stream.size(), 20000);
        QVERIFY(hub.peers[to]->received == stream);
    }
    QTRY_COMPARE_WITH_TIMEOUT(hub.device.received().size(),
                              streams[0].size() + streams[1].size(), 20000);
    QByteArray split[2];
    for (char byte : hub.device.received())
        split[uchar(byte) % 2] += byte;
    QVERIFY(split[0] == streams[0]);
    QVERIFY(split[1] == streams[1]);
}

// One listener's life: Listen on a taken port ends silently; Listen with
// letters after the number listens on the number (the lenient conversion),
// shows it and saves it; Close turns red and disarms; the listening socket
// itself takes a peer (green); the peer's close turns it red, and only the
// gateway says so in the caption.
void RelayCoreTest::listener()
{
    QFETCH(int, endpoint);
    Hub hub;
    RelayCore &core = *hub.core;
    const Fields row = fieldsOf(core, endpoint);
    Winsock &socket = *core.Winsock1[std::size_t(endpoint)];
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    row.port->setText(QString::number(holder.serverPort()));
    press(core, endpoint, 0);
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QCOMPARE(core.Caption(), QStringLiteral("Quaylight"));
    QVERIFY(!row.port->hasBackColor());
    QCOMPARE(row.buttons[1]->text(), QStringLiteral("Close"));
    QVERIFY(!core.Server2Armed);

    row.port->setText(QStringLiteral("0"));
    press(core, endpoint, 0);
    const qint32 port = socket.LocalPort(); // the OS's choice, ours from now on
    core.setCaption(QStringLiteral("before"));
    row.buttons[1]->setEnabled(false);
    row.port->setText(QString::number(port) + QStringLiteral("abc"));
    press(core, endpoint, 0);
    QCOMPARE(socket.State(), int(Winsock::sckListening));
    QCOMPARE(socket.LocalPort(), port);
    QCOMPARE(saved(hub, row.portKey), QString::number(port));
    QCOMPARE(core.Caption(), QStringLiteral("Listening"));
    QCOMPARE(row.port->backColor(), UiColour::Yellow);
    QCOMPARE(row.buttons[1]->text(), QStringLiteral("Stop Listening"));
    QVERIFY(row.buttons[1]->isEnabled());
    QCOMPARE(core.Server2Armed, endpoint == 2);

    press(core, endpoint, 1);
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QCOMPARE(row.port->backColor(), UiColour::Red);
    QVERIFY(!core.Server2Armed);

    const auto peer = hub.connectToListener(endpoint);
    QVERIFY(peer);
    core.Timer1->stop(); // the tick would listen on 2 again
    QCOMPARE(row.port->backColor(), UiColour::Green);
    peer->socket->disconnectFromHost();
    QTRY_COMPARE(row.port->backColor(), UiColour::Red);
    QCOMPARE(socket.State(), int(Winsock::sckClosing));
    QCOMPARE(core.Caption(),
             endpoint == 0 ? QStringLiteral("TCP Server Closed") : QStringLiteral("Listening"));
    QVERIFY(hub.boxes.shown().isEmpty());
}

// Connect: yellow at once, green on the connected event, armed; host and port
// saved as typed (blanks and all). Close: red, the state number, disarmed,
// and the tick leaves it closed.
void RelayCoreTest::connectAndClose()
{
    QFETCH(int, endpoint);
    Hub hub;
    hub.core->Timer1->stop();
    const Fields row = fieldsOf(*hub.core, endpoint);
    Winsock &socket = *hub.core->Winsock1[std::size_t(endpoint)];
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QString typed = QStringLiteral(" %1 ").arg(server.serverPort());
    row.host->setText(QStringLiteral("127.0.0.1"));
    row.port->setText(typed);

    hub.core->Command3_Click(endpoint == 1 ? 0 : 3);
    QCOMPARE(row.port->backColor(), UiColour::Yellow);
    QVERIFY(*row.armed);
    QCOMPARE(socket.RemotePort(), qint32(server.serverPort()));
    QCOMPARE(saved(hub, row.hostKey), QStringLiteral("127.0.0.1"));
    QCOMPARE(saved(hub, row.portKey), typed);
    QVERIFY(server.waitForNewConnection(5000));
    QTRY_COMPARE(row.port->backColor(), UiColour::Green);

    hub.core->Command3_Click(endpoint == 1 ? 1 : 2);
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QCOMPARE(row.port->backColor(), UiColour::Red);
    QCOMPARE(row.status->text(), QStringLiteral("0"));
    QVERIFY(!*row.armed);
    hub.core->Timer1_Timer();
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
}

void RelayCoreTest::connectPortTextErrors_data()
{
    QTest::addColumn<int>("endpoint");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("error");
    QTest::newRow("letters after") << 1 << QStringLiteral("80x") << 13;
    QTest::newRow("beyond 32 bits") << 3 << QStringLiteral("99999999999") << 6;
    QTest::newRow("refused by the socket") << 1 << QStringLiteral("70000") << 380;
}

// A port text the socket cannot take: one box, nothing saved, no connect,
// yet armed so the tick keeps trying.
void RelayCoreTest::connectPortTextErrors()
{
    QFETCH(int, endpoint);
    QFETCH(QString, text);
    QFETCH(int, error);
    Hub hub;
    const Fields row = fieldsOf(*hub.core, endpoint);
    row.host->setText(QStringLiteral("127.0.0.1"));
    row.port->setText(text);
    hub.core->Command3_Click(endpoint == 1 ? 0 : 3);
    QCOMPARE(hub.boxes.texts(),
             QStringList {QStringLiteral("HA Connect Client Error # %1   State = 0").arg(error)});
    QCOMPARE(hub.core->Winsock1[std::size_t(endpoint)]->State(), int(Winsock::sckClosed));
    QVERIFY(!row.port->hasBackColor());
    QCOMPARE(saved(hub, row.hostKey), QStringLiteral("<unset>"));
    QCOMPARE(saved(hub, row.portKey), QStringLiteral("<unset>"));
    QVERIFY(*row.armed);
}

// An armed forwarder whose server dropped it is connected again by the tick.
void RelayCoreTest::tickReconnectsArmedForwarder()
{
    QFETCH(int, endpoint);
    Hub hub;
    QTcpServer server;
    auto peer = hub.connectForwarder(endpoint, server);
    QVERIFY(peer);
    hub.core->Timer1->stop();
    QSignalSpy connections(&server, &QTcpServer::newConnection);
    Winsock &socket = *hub.core->Winsock1[std::size_t(endpoint)];

    peer->socket->disconnectFromHost();
    QTRY_COMPARE(socket.State(), int(Winsock::sckClosing));
    hub.core->Timer1_Timer();
    QVERIFY(connections.wait(5000));
    QTRY_COMPARE(socket.State(), int(Winsock::sckConnected));
    QCOMPARE(connections.count(), 1);
}

// The tick listens on the second server again once its peer left, never
// while a peer is on it, keeps it while it listens, and never re-arms the
// gateway. It shows each
// endpoint's state in that endpoint's own fields.
void RelayCoreTest::tickRearmsSecondServerAndShowsStates()
{
    Hub hub;
    const auto gateway = hub.connectToListener(0);
    const auto peer = hub.connectToListener(2);
    QVERIFY(gateway && peer);
    hub.core->Timer1->stop();
    Winsock &server2 = *hub.core->Winsock1[2];
    hub.core->setCaption(QStringLiteral("marker"));

    hub.core->Timer1_Timer();
    QCOMPARE(server2.State(), int(Winsock::sckConnected));
    QCOMPARE(hub.core->Caption(), QStringLiteral("marker"));

    gateway->socket->disconnectFromHost();
    peer->socket->disconnectFromHost();
    QTRY_COMPARE(server2.State(), int(Winsock::sckClosing));
    QTRY_COMPARE(hub.core->Winsock1[0]->State(), int(Winsock::sckClosing));
    hub.core->Timer1_Timer();
    QCOMPARE(server2.State(), int(Winsock::sckListening));
    QCOMPARE(hub.core->Winsock1[0]->State(), int(Winsock::sckClosing));
    QCOMPARE(hub.core->Caption(), QStringLiteral("Listening"));
    const QStringList texts = {QStringLiteral("Peer is Closing Connection"), QStringLiteral("Socket Closed"),
                               QStringLiteral("Listening"), QStringLiteral("Socket Closed")};
    const quint32 colours[] = {UiColour::Red, UiColour::NearBlack, UiColour::Yellow, UiColour::NearBlack};
    for (int endpoint = 0; endpoint < EndpointCount; ++endpoint) {
        QCOMPARE(fieldsOf(*hub.core, endpoint).status->text(), texts[endpoint]);
        QCOMPARE(fieldsOf(*hub.core, endpoint).port->backColor(), colours[endpoint]);
    }

    // A peer the system has queued but the hub not yet taken is not refused
    // by a tick: the listener is kept, and the rest of Listen still runs.
    QTcpSocket next;
    next.connectToHost(QStringLiteral("127.0.0.1"), quint16(server2.LocalPort()));
    QVERIFY(next.waitForConnected(5000)); // in the backlog; no event ran yet
    hub.core->setCaption(QStringLiteral("marker"));
    hub.core->Timer1_Timer();
    QCOMPARE(hub.core->Caption(), QStringLiteral("Listening"));
    QTRY_COMPARE(server2.State(), int(Winsock::sckConnected));
    QCOMPARE(next.state(), QAbstractSocket::ConnectedState);
}

void RelayCoreTest::stateDisplay_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    QTest::addColumn<quint32>("fore");
    QTest::addColumn<quint32>("back");
    using namespace UiColour;
    // Fields start 0x123456 on 0x654321, so "left alone" shows.
    QTest::newRow("host resolved") << 5 << QStringLiteral("Host Resolved") << White << Blue;
    QTest::newRow("connected") << 7 << QStringLiteral("Connected") << Black << Green;
    QTest::newRow("error") << 9 << QStringLiteral("Socket Error") << Yellow << Red;
    QTest::newRow("unknown") << 10 << QString() << 0x123456u << 0x654321u;
}

void RelayCoreTest::stateDisplay()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QFETCH(quint32, fore);
    QFETCH(quint32, back);
    Hub hub;
    Control field;
    field.setForeColor(0x123456);
    field.setBackColor(0x654321);
    QCOMPARE(hub.core->WinsockStateDisplay(quint8(state), &field), text);
    QCOMPARE(field.foreColor(), fore);
    QCOMPARE(field.backColor(), back);
    QCOMPARE(hub.core->WinsockStateDisplay(quint8(state), nullptr), text);
}

QTEST_GUILESS_MAIN(RelayCoreTest)
#include "tst_relay_core.moc"
