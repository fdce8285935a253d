// The relay core without a window: routing between the four endpoints and
// the serial port, the two listeners, the two forwarders, the supervision
// tick and the state display, over loopback sockets and a pseudo-terminal.

#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <functional>

#include <sys/socket.h>

namespace {

constexpr int Serial = SerialNode;

// Where each source's chunks must arrive, written out here rather than read
// from the route table, so a wrong table entry fails.
const QList<int> Expected[NodeCount] = {{1, 2, 3, Serial}, {0, Serial}, {0, Serial}, {0, Serial}, {0, 1, 2}};

QString saved(TestHub &hub, const QString &key)
{
    return hub.core->settings().read(QStringLiteral("Harborcast"), QStringLiteral("startup"), key,
                                     QStringLiteral("<unset>"));
}

void addEndpoints(std::initializer_list<int> endpoints)
{
    QTest::addColumn<int>("endpoint");
    const char *names[] = {"gateway", "software forwarder", "second server", "data-host forwarder", "serial"};
    for (int endpoint : endpoints)
        QTest::newRow(names[endpoint]) << endpoint;
}

// Every endpoint connected to a peer of the test and the serial port open.
// The supervision tick is stopped: tests that want it call it.
struct WiredHub : TestHub {
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
    QByteArray receivedAt(int node) const { return node == Serial ? device.received() : peers[node]->received; }
};

} // namespace

class RelayCoreTest : public QObject
{
    Q_OBJECT

private slots:
    void routing_data() { addEndpoints({0, 1, 2, 3, Serial}); }
    void routing();
    void listener_data() { addEndpoints({0, 2}); }
    void listener();
    void listenOnPortInUse_data() { addEndpoints({0, 2}); }
    void listenOnPortInUse();
    void connectFailures_data() { addEndpoints({1, 3}); }
    void connectFailures();
    void tickReconnectsArmedForwarder_data() { addEndpoints({1, 3}); }
    void tickReconnectsArmedForwarder();
    void tickRearmsSecondServerAndShowsStates();
    void tickKeepsAnIdleListener();
    void unwritableSettingsStopNoAction();
    void handlersLetQueuedEventsRun_data();
    void handlersLetQueuedEventsRun();
};

// A chunk from a peer or the device reaches exactly its destinations. Two markers follow, one from the
// gateway and one from the second server; whatever arrived at a node before
// its marker is everything the chunk could have sent there.
void RelayCoreTest::routing()
{
    QFETCH(int, endpoint);
    WiredHub hub;
    QVERIFY(hub.wire());
    const QByteArray chunk = QByteArray("chunk\0\xff from ", 13) + QByteArray::number(endpoint);
    endpoint == Serial ? hub.device.send(chunk) : hub.peers[endpoint]->send(chunk);
    QByteArray expected[NodeCount];
    for (int to : Expected[endpoint]) {
        QTRY_COMPARE(hub.receivedAt(to), chunk);
        expected[to] = chunk;
    }
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

// One listener's life: Listen with letters after the number listens on the
// number, shows it and saves it;
// Close turns red and disarms; the listening socket itself takes a peer
// (green); the peer's close turns it red, and only the gateway says so. A
// peer that closed only its sending side after its query still gets the
// device's answer, until the tick lets it go.
void RelayCoreTest::listener()
{
    QFETCH(int, endpoint);
    TestHub hub;
    RelayCore &core = *hub.core;
    const RelayCore::Endpoint &row = core.endpoint(endpoint);
    const auto press = [&](int button) { hub.pressListener(endpoint, button); };
    Winsock &socket = *core.Winsock1[std::size_t(endpoint)];
    row.portField->setText(QStringLiteral("0"));
    press(0);
    const qint32 port = socket.LocalPort(); // the OS's choice, ours from now on
    core.setCaption(QStringLiteral("before"));
    row.portField->setText(QString::number(port) + QStringLiteral("abc"));
    press(0);
    QCOMPARE(socket.LocalPort(), port);
    QCOMPARE(saved(hub, row.portKey), QString::number(port));
    QCOMPARE(core.Caption(), QStringLiteral("Listening"));
    QCOMPARE(row.portField->backColor(), UiColour::Yellow);
    QCOMPARE(core.Server2Armed, row.role == EndpointRole::ServerListener);

    press(1);
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QCOMPARE(row.portField->backColor(), UiColour::Red);
    QVERIFY(!core.Server2Armed);

    QVERIFY(hub.openSerial());
    const auto peer = hub.connectToListener(endpoint);
    QVERIFY(peer);
    core.Timer1->stop(); // the tick would listen on 2 again
    QCOMPARE(row.portField->backColor(), UiColour::Green);
    peer->send("query");
    QTRY_COMPARE(hub.device.received(), QByteArray("query"));
    QCOMPARE(::shutdown(int(peer->socket->socketDescriptor()), SHUT_WR), 0);
    QTRY_COMPARE(row.portField->backColor(), UiColour::Red);
    QCOMPARE(core.Caption(), row.role == EndpointRole::GatewayListener ? QStringLiteral("TCP Server Closed")
                                                                       : QStringLiteral("Listening"));
    hub.device.send("answer");
    QTRY_COMPARE(peer->received, QByteArray("answer"));
    QCOMPARE(peer->socket->state(), QAbstractSocket::ConnectedState);
    core.Timer1_Timer();
    QTRY_COMPARE(peer->socket->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(hub.boxes.shown().isEmpty());
}

// Listen on a port another socket holds: the port is saved before the
// listen fails; the endpoint ends closed, nothing visible changes, no box
// shows and the TCP/IP Server is not armed.
void RelayCoreTest::listenOnPortInUse()
{
    QFETCH(int, endpoint);
    TestHub hub;
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    const RelayCore::Endpoint &row = hub.core->endpoint(endpoint);
    row.portField->setText(QString::number(holder.serverPort()));
    hub.core->setCaption(QStringLiteral("before"));
    hub.pressListener(endpoint, 0);
    QCOMPARE(saved(hub, row.portKey), QString::number(holder.serverPort()));
    QCOMPARE(hub.core->Winsock1[std::size_t(endpoint)]->State(), int(Winsock::sckClosed));
    QCOMPARE(hub.core->Caption(), QStringLiteral("before"));
    QVERIFY(!row.portField->hasBackColor() && !hub.core->Server2Armed);
    QVERIFY(hub.boxes.shown().isEmpty());
}

// Connect with a port that is no number: armed first, one box with the code
// and the state, nothing saved, no colour. Connect where nothing listens:
// both fields saved, yellow at once.
void RelayCoreTest::connectFailures()
{
    QFETCH(int, endpoint);
    TestHub hub;
    const RelayCore::Endpoint &row = hub.core->endpoint(endpoint);
    row.hostField->setText(QStringLiteral("127.0.0.1"));
    row.portField->setText(QStringLiteral("x"));
    hub.core->Command3_Click(TestHub::forwarderButton(endpoint, true));
    QVERIFY(*row.armed);
    QCOMPARE(hub.boxes.texts(), QStringList {QStringLiteral("HA Connect Client Error # 13   State = 0")});
    QCOMPARE(saved(hub, row.hostKey), QStringLiteral("<unset>"));
    QVERIFY(!row.portField->hasBackColor());
    row.portField->setText(QStringLiteral("1"));
    hub.core->Command3_Click(TestHub::forwarderButton(endpoint, true));
    QCOMPARE(row.portField->backColor(), UiColour::Yellow);
    QCOMPARE(saved(hub, row.hostKey) + saved(hub, row.portKey), QStringLiteral("127.0.0.11"));
}

// An armed forwarder whose server dropped it is connected again by the tick;
// its Close disarms it, turns it red and shows the state number.
void RelayCoreTest::tickReconnectsArmedForwarder()
{
    QFETCH(int, endpoint);
    TestHub hub;
    QTcpServer server;
    auto peer = hub.connectForwarder(endpoint, server);
    QVERIFY(peer);
    const RelayCore::Endpoint &row = hub.core->endpoint(endpoint);
    QCOMPARE(row.portField->backColor(), UiColour::Green);
    hub.core->Timer1->stop();
    QSignalSpy connections(&server, &QTcpServer::newConnection);
    Winsock &socket = *hub.core->Winsock1[std::size_t(endpoint)];

    peer->socket->disconnectFromHost();
    QTRY_COMPARE(socket.State(), int(Winsock::sckClosing));
    hub.core->Timer1_Timer();
    QVERIFY(connections.wait(5000));
    QTRY_COMPARE(socket.State(), int(Winsock::sckConnected));
    QCOMPARE(connections.count(), 1);
    hub.core->Command3_Click(TestHub::forwarderButton(endpoint, false));
    QVERIFY(!*row.armed);
    QCOMPARE(row.portField->backColor(), UiColour::Red);
    QCOMPARE(row.statusField->text(), QStringLiteral("0"));
}

// The tick listens on the second server again once its peer left, on the
// port it had, never while a peer is on it, and never re-arms the gateway.
// It shows each endpoint's state in that endpoint's own fields.
void RelayCoreTest::tickRearmsSecondServerAndShowsStates()
{
    TestHub hub;
    const auto gateway = hub.connectToListener(0), peer = hub.connectToListener(2);
    QVERIFY(gateway && peer);
    hub.core->Timer1->stop();
    Winsock &server2 = *hub.core->Winsock1[2];
    hub.core->setCaption(QStringLiteral("marker"));
    hub.core->Timer1_Timer();
    QCOMPARE(server2.State(), int(Winsock::sckConnected));
    QCOMPARE(hub.core->Caption(), QStringLiteral("marker"));

    const qint32 port = server2.LocalPort(); // the system's choice for a field of 0
    gateway->socket->disconnectFromHost();
    peer->socket->disconnectFromHost();
    QTRY_COMPARE(server2.State(), int(Winsock::sckClosing));
    QTRY_COMPARE(hub.core->Winsock1[0]->State(), int(Winsock::sckClosing));
    hub.core->Timer1_Timer();
    QCOMPARE(server2.State(), int(Winsock::sckListening));
    QCOMPARE(server2.LocalPort(), port);
    QCOMPARE(hub.core->Winsock1[0]->State(), int(Winsock::sckClosing));
    const QStringList texts = {QStringLiteral("Peer is Closing Connection"), QStringLiteral("Socket Closed"),
                               QStringLiteral("Listening"), QStringLiteral("Socket Closed")};
    const quint32 colours[] = {UiColour::Red, UiColour::NearBlack, UiColour::Yellow, UiColour::NearBlack};
    for (int endpoint = 0; endpoint < EndpointCount; ++endpoint) {
        QCOMPARE(hub.core->endpoint(endpoint).statusField->text(), texts[endpoint]);
        QCOMPARE(hub.core->endpoint(endpoint).portField->backColor(), colours[endpoint]);
    }
}

// A peer that arrives just as the tick runs is taken within it: the idle
// listener (its field says 0, any port) is kept, not closed and opened anew.
void RelayCoreTest::tickKeepsAnIdleListener()
{
    TestHub hub;
    hub.core->Text4[0]->setText(QStringLiteral("0"));
    hub.core->Command5_Click(0);
    hub.core->Timer1->stop();
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(hub.core->Winsock1[2]->LocalPort()));
    QVERIFY(peer.waitForConnected(5000));
    QCoreApplication::processEvents(); // the listener sees the peer; the hub is offered it later
    hub.core->Timer1_Timer();
    QCOMPARE(hub.core->Winsock1[2]->State(), int(Winsock::sckConnected));
}

// Settings that cannot be saved (the file is a folder) cost one box a
// run, naming the file and why; Listen and Connect go ahead.
void RelayCoreTest::unwritableSettingsStopNoAction()
{
    TestHub hub;
    hub.core->Timer1->stop(); // the tick would connect the forwarder itself
    const QString file = hub.core->settings().filePath(QStringLiteral("Harborcast"));
    QVERIFY(QDir().mkpath(file));
    QTcpServer upstream;
    QVERIFY(hub.connectToListener(2) && hub.connectForwarder(1, upstream));
    QCOMPARE(hub.boxes.texts().size(), 1);
    QVERIFY2(hub.boxes.texts().constFirst().contains(file + QStringLiteral(": Is a directory")),
             qPrintable(hub.boxes.texts().constFirst()));
}

void RelayCoreTest::handlersLetQueuedEventsRun_data()
{
    QTest::addColumn<int>("handler");
    int handler = 0;
    for (const char *name : {"Listen of the TCP/IP Server", "Close of the serial port", "a port chosen in the list", "Exit"})
        QTest::newRow(name) << handler++;
}

// The handlers that make a pass of the event queue let what was queued before
// them run before they return (and, for the list, before its box shows).
void RelayCoreTest::handlersLetQueuedEventsRun()
{
    QFETCH(int, handler);
    TestHub hub;
    RelayCore &core = *hub.core;
    core.Text4[0]->setText(QStringLiteral("0"));
    core.Command4_Click();
    core.List3->setCurrentRow(0);
    QVERIFY(hub.openSerial());
    bool ran = false;
    bool ranBeforeBox = true;
    hub.boxes.whileShown = [&] { ranBeforeBox = ranBeforeBox && ran; };
    QTimer::singleShot(0, &core, [&] { ran = true; });
    const std::function<void()> handlers[] = {[&] { core.Command5_Click(0); }, [&] { core.Command2_Click(1); },
                                              [&] { core.List3_Click(); }, [&] { core.mnuExit_Click(); }};
    handlers[handler]();
    QVERIFY(ran && ranBeforeBox);
}

QTEST_GUILESS_MAIN(RelayCoreTest)
#include "tst_relay_core.moc"
