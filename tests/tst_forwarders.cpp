// The upstream forwarders and the supervision tick against real TCP servers
// on 127.0.0.1, and the whole hub relaying between all its endpoints.

#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "support/pty_device.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QDir>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <array>
#include <memory>
#include <vector>

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");
const QString Unset = QStringLiteral("<unset>");

// A private config folder, scripted boxes and the window. Timer1 is stopped:
// the tests run the tick themselves.
struct Hub {
    TestConfig config;
    ScriptedMessageBoxes boxes;
    Form1 form {boxes, config.dir()};

    Hub() { form.Timer1->stop(); }

    // One supervision tick; a Listen action inside it restarts Timer1.
    void tick()
    {
        form.Timer1_Timer();
        form.Timer1->stop();
    }

    QString setting(const char *key)
    {
        return form.settings().read(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                                    QLatin1String(key), Unset);
    }
};

// Buttons, socket, Text2 fields, setting keys and flag of one forwarder.
struct Forwarder {
    int connectIndex;
    int closeIndex;
    int socket;
    int hostField;
    int portField;
    int statusField;
    const char *hostKey;
    const char *portKey;
    bool Form1::*armed;
};
const Forwarder Software {0, 1, 1, 1, 0, 2, "RemoteHost", "RemotePort",
                          &Form1::SoftwareForwarderArmed};
const Forwarder DataHost {3, 2, 3, 4, 5, 3, "RemoteHost3", "RemotePort3",
                          &Form1::DataHostForwarderArmed};

const Forwarder &forwarder(int index)
{
    return index == Software.connectIndex || index == Software.closeIndex ? Software : DataHost;
}

void aim(Form1 &form, const Forwarder &f, quint16 port)
{
    form.Text2[f.hostField]->setText(Loopback);
    form.Text2[f.portField]->setText(QString::number(port));
}

// One end of a TCP connection that keeps everything it receives.
struct Peer {
    explicit Peer(QTcpSocket *s) : socket(s)
    {
        QObject::connect(s, &QTcpSocket::readyRead, s, [this] { received += socket->readAll(); });
    }
    static std::unique_ptr<Peer> connectTo(quint16 port)
    {
        auto *s = new QTcpSocket;
        auto peer = std::make_unique<Peer>(s);
        peer->owned.reset(s);
        s->connectToHost(QHostAddress::LocalHost, port);
        return peer;
    }
    QTcpSocket *socket;
    QByteArray received;
    std::unique_ptr<QTcpSocket> owned;
};

// An upstream server standing for the host software or the data host.
struct UpstreamServer {
    explicit UpstreamServer(quint16 port = 0)
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection())
                peers.push_back(std::make_unique<Peer>(s));
        });
        server.listen(QHostAddress::LocalHost, port);
    }
    quint16 port() const { return server.serverPort(); }
    int accepted() const { return int(peers.size()); }
    bool allDisconnected() const
    {
        for (const auto &peer : peers) {
            if (peer->socket->state() != QAbstractSocket::UnconnectedState)
                return false;
        }
        return true;
    }
    QTcpServer server;
    std::vector<std::unique_ptr<Peer>> peers;
};

// A port on 127.0.0.1 where nothing listens.
quint16 closedPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

quint16 listenGateway(Hub &hub)
{
    hub.form.Text1[0]->setText(QStringLiteral("0"));
    hub.form.Command1_Click(0);
    hub.form.Timer1->stop();
    return quint16(hub.form.Winsock1[0]->LocalPort());
}

// Listens on an OS-chosen port and leaves that port in the field, so the
// tick's Listen action reopens the same port.
quint16 listenServer2(Hub &hub)
{
    hub.form.Text4[0]->setText(QStringLiteral("0"));
    hub.form.Command5_Click(0);
    hub.form.Timer1->stop();
    const auto port = quint16(hub.form.Winsock1[2]->LocalPort());
    hub.form.Text4[0]->setText(QString::number(port));
    return port;
}

void addForwarderRows()
{
    QTest::addColumn<int>("index");
    QTest::newRow("software") << Software.connectIndex;
    QTest::newRow("data host") << DataHost.connectIndex;
}

} // namespace

class tst_Forwarders : public QObject
{
    Q_OBJECT

private slots:
    void connectWhileConnectedOnlyShowsState_data() { addForwarderRows(); }
    void connectWhileConnectedOnlyShowsState();
    void connectRestartsUnfinishedConnection_data();
    void connectRestartsUnfinishedConnection();
    void connectPortText_data();
    void connectPortText();
    void closeAction_data();
    void closeAction();
    void connectedEventTurnsGreenBeforeTick_data() { addForwarderRows(); }
    void connectedEventTurnsGreenBeforeTick();
    void dataFromWhileDownIsNotSent();
    void tickRetriesUntilServerComesUp_data() { addForwarderRows(); }
    void tickRetriesUntilServerComesUp();
    void tickRelistensSecondServer();
    void wholeHubRelaysEveryByteWhereItBelongs();
};

void tst_Forwarders::connectWhileConnectedOnlyShowsState()
{
    QFETCH(int, index);
    const Forwarder &f = forwarder(index);
    Hub hub;
    Form1 &form = hub.form;
    UpstreamServer server;
    aim(form, f, server.port());
    form.Command3_Click(index);
    Winsock &socket = *form.Winsock1[f.socket];
    QTRY_COMPARE(socket.State(), int(Winsock::sckConnected));

    form.Text2[f.hostField]->setText(QStringLiteral("192.0.2.1"));
    form.Text2[f.portField]->setText(QStringLiteral("1"));
    UiColour::setBackColor(form.Text2[f.portField], UiColour::Blue);
    form.*f.armed = false;
    form.Command3_Click(index);

    QCOMPARE(form.Text2[f.statusField]->text(), QStringLiteral("7"));
    QCOMPARE(socket.State(), int(Winsock::sckConnected));
    QCOMPARE(socket.RemotePort(), server.port());
    QCOMPARE(hub.setting(f.hostKey), Loopback);
    QCOMPARE(hub.setting(f.portKey), QString::number(server.port()));
    QCOMPARE(UiColour::backColor(form.Text2[f.portField]), UiColour::Blue);
    QVERIFY(form.*f.armed);
    QCOMPARE(server.accepted(), 1);
}

void tst_Forwarders::connectRestartsUnfinishedConnection_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("peerClosing");
    QTest::newRow("software connecting") << Software.connectIndex << false;
    QTest::newRow("software peer closing") << Software.connectIndex << true;
    QTest::newRow("data host connecting") << DataHost.connectIndex << false;
    QTest::newRow("data host peer closing") << DataHost.connectIndex << true;
}

void tst_Forwarders::connectRestartsUnfinishedConnection()
{
    QFETCH(int, index);
    QFETCH(bool, peerClosing);
    const Forwarder &f = forwarder(index);
    Hub hub;
    Form1 &form = hub.form;
    Winsock &socket = *form.Winsock1[f.socket];
    UpstreamServer first;
    UpstreamServer second;

    aim(form, f, first.port());
    form.Command3_Click(index);
    if (peerClosing) {
        QTRY_COMPARE(first.accepted(), 1);
        first.peers[0]->socket->disconnectFromHost();
        QTRY_COMPARE(socket.State(), int(Winsock::sckClosing));
    } else {
        QVERIFY2(socket.State() >= Winsock::sckResolvingHost
                     && socket.State() <= Winsock::sckConnecting,
                 "the first connect should still be under way");
    }

    // A plain Connect would keep the old attempt (or reconnect to the old
    // port): landing on the second server shows the socket was closed first.
    aim(form, f, second.port());
    form.Command3_Click(index);
    QCOMPARE(UiColour::backColor(form.Text2[f.portField]), UiColour::Yellow);
    QTRY_COMPARE(socket.State(), int(Winsock::sckConnected));
    QTRY_COMPARE(second.accepted(), 1);
    QCOMPARE(hub.setting(f.portKey), QString::number(second.port()));
    QTRY_VERIFY(first.allDisconnected());
    QVERIFY(hub.boxes.shown().isEmpty());
}

void tst_Forwarders::connectPortText_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("settingsWritable");
    QTest::addColumn<int>("socketPort"); // 4321 was there before
    QTest::addColumn<QString>("message"); // none: saved and connecting

    const auto failure = [](int code) {
        return QStringLiteral("HA Connect Client Error # %1   State = 0").arg(code);
    };
    const int software = Software.connectIndex;
    const int dataHost = DataHost.connectIndex;
    QTest::newRow("half to even, down") << software << QStringLiteral("80.5") << true << 80 << QString();
    QTest::newRow("half to even, up") << dataHost << QStringLiteral("81.5") << true << 82 << QString();
    QTest::newRow("blanks around") << software << QStringLiteral(" 80 ") << true << 80 << QString();
    QTest::newRow("empty") << software << QString() << true << 4321 << failure(13);
    QTest::newRow("letters") << dataHost << QStringLiteral("abc") << true << 4321 << failure(13);
    QTest::newRow("trailing letters") << software << QStringLiteral("8082abc") << true << 4321 << failure(13);
    QTest::newRow("beyond 32 bits") << software << QStringLiteral("99999999999") << true << 4321 << failure(6);
    QTest::newRow("refused by the socket") << dataHost << QStringLiteral("70000") << true << 4321 << failure(380);
    QTest::newRow("settings not writable") << software << QStringLiteral("81") << false << 81 << failure(75);
}

void tst_Forwarders::connectPortText()
{
    QFETCH(int, index);
    QFETCH(QString, text);
    QFETCH(bool, settingsWritable);
    QFETCH(int, socketPort);
    QFETCH(QString, message);
    const Forwarder &f = forwarder(index);
    const Forwarder &other = &f == &Software ? DataHost : Software;
    Hub hub;
    Form1 &form = hub.form;
    Winsock &socket = *form.Winsock1[f.socket];
    socket.setRemoteHost(QStringLiteral("192.0.2.9"));
    socket.setRemotePort(4321);
    if (!settingsWritable)
        QVERIFY(QDir().mkpath(form.settings().filePath(QStringLiteral("Harborcast"))));
    form.Text2[f.hostField]->setText(Loopback);
    form.Text2[f.portField]->setText(text);
    QLineEdit *portField = form.Text2[f.portField];
    UiColour::setBackColor(portField, UiColour::White);

    form.Command3_Click(index);

    QVERIFY(form.*f.armed);
    QCOMPARE(socket.RemoteHost(), Loopback);
    QCOMPARE(socket.RemotePort(), socketPort);
    if (message.isEmpty()) {
        QVERIFY(hub.boxes.shown().isEmpty());
        QVERIFY(socket.State() != Winsock::sckClosed);
        QCOMPARE(UiColour::backColor(portField), UiColour::Yellow);
        QCOMPARE(hub.setting(f.hostKey), Loopback);
        QCOMPARE(hub.setting(f.portKey), text);
    } else {
        QCOMPARE(hub.boxes.texts(), QStringList {message});
        QCOMPARE(hub.boxes.shown().first().buttons, MessageBoxes::Buttons::Ok);
        QCOMPARE(socket.State(), int(Winsock::sckClosed));
        QCOMPARE(UiColour::backColor(portField), UiColour::White);
        QCOMPARE(hub.setting(f.hostKey), Unset);
        QCOMPARE(hub.setting(f.portKey), Unset);
    }
    QCOMPARE(hub.setting(other.hostKey), Unset);
    QCOMPARE(hub.setting(other.portKey), Unset);
}

void tst_Forwarders::closeAction_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("connected");
    QTest::newRow("software, closed") << Software.closeIndex << false;
    QTest::newRow("software, connected") << Software.closeIndex << true;
    QTest::newRow("data host, closed") << DataHost.closeIndex << false;
    QTest::newRow("data host, connected") << DataHost.closeIndex << true;
}

void tst_Forwarders::closeAction()
{
    QFETCH(int, index);
    QFETCH(bool, connected);
    const Forwarder &f = forwarder(index);
    Hub hub;
    Form1 &form = hub.form;
    Winsock &socket = *form.Winsock1[f.socket];
    UpstreamServer server;
    if (connected) {
        aim(form, f, server.port());
        form.Command3_Click(f.connectIndex);
        QTRY_COMPARE(socket.State(), int(Winsock::sckConnected));
        QTRY_COMPARE(server.accepted(), 1);
    }
    form.*f.armed = true;
    const QString savedPort = hub.setting(f.portKey);
    form.Text2[f.portField]->setText(QStringLiteral("1"));

    form.Command3_Click(index);

    QVERIFY(!(form.*f.armed));
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QCOMPARE(UiColour::backColor(form.Text2[f.portField]), UiColour::Red);
    QCOMPARE(form.Text2[f.statusField]->text(), QStringLiteral("0"));
    QCOMPARE(hub.setting(f.portKey), savedPort);
    QTRY_VERIFY(server.allDisconnected());
}

void tst_Forwarders::connectedEventTurnsGreenBeforeTick()
{
    QFETCH(int, index);
    const Forwarder &f = forwarder(index);
    Hub hub;
    Form1 &form = hub.form;
    UpstreamServer server;
    aim(form, f, server.port());
    form.Text2[f.statusField]->setText(QStringLiteral("before"));

    form.Command3_Click(index);
    QCOMPARE(UiColour::backColor(form.Text2[f.portField]), UiColour::Yellow);
    QTRY_COMPARE(UiColour::backColor(form.Text2[f.portField]), UiColour::Green);

    QCOMPARE(form.Winsock1[f.socket]->State(), int(Winsock::sckConnected));
    QCOMPARE(form.Text2[f.statusField]->text(), QStringLiteral("before"));
}

void tst_Forwarders::dataFromWhileDownIsNotSent()
{
    Hub hub;
    Form1 &form = hub.form;
    auto gateway = Peer::connectTo(listenGateway(hub));
    auto watcher = Peer::connectTo(listenServer2(hub)); // shows when a chunk was routed
    QTRY_COMPARE(form.Winsock1[0]->State(), int(Winsock::sckConnected));
    QTRY_COMPARE(form.Winsock1[2]->State(), int(Winsock::sckConnected));

    const quint16 port = closedPort();
    Winsock &socket = *form.Winsock1[Software.socket];
    QSignalSpy refusals(&socket, &Winsock::Error);
    aim(form, Software, port);
    form.Command3_Click(Software.connectIndex);
    QTRY_COMPARE(refusals.count(), 1);
    gateway->socket->write("while down");
    QTRY_COMPARE(watcher->received, QByteArray("while down"));

    UpstreamServer upstream(port);
    QVERIFY(upstream.server.isListening());
    hub.tick();
    QTRY_COMPARE(socket.State(), int(Winsock::sckConnected));
    QTRY_COMPARE(upstream.accepted(), 1);
    gateway->socket->write("after");
    QTRY_COMPARE(watcher->received, QByteArray("while downafter"));
    QTRY_COMPARE(upstream.peers[0]->received, QByteArray("after"));
}

void tst_Forwarders::tickRetriesUntilServerComesUp()
{
    QFETCH(int, index);
    const Forwarder &f = forwarder(index);
    Hub hub;
    Form1 &form = hub.form;
    Winsock &socket = *form.Winsock1[f.socket];
    QSignalSpy refusals(&socket, &Winsock::Error);
    const quint16 port = closedPort();
    aim(form, f, port);
    form.Command3_Click(index);
    QTRY_COMPARE(refusals.count(), 1);
    // The tick reconnects with what the socket holds, not with the fields.
    form.Text2[f.portField]->setText(QStringLiteral("1"));

    for (int attempt = 2; attempt <= 4; ++attempt) {
        hub.tick();
        QTRY_COMPARE(refusals.count(), attempt);
    }

    UpstreamServer server(port);
    QVERIFY(server.server.isListening());
    hub.tick();
    QTRY_COMPARE(socket.State(), int(Winsock::sckConnected));
    QTRY_COMPARE(server.accepted(), 1);

    // Connected: no further request, and the tick goes on to the display.
    hub.tick();
    hub.tick();
    QCOMPARE(socket.State(), int(Winsock::sckConnected));
    QCOMPARE(form.Text2[f.statusField]->text(), QStringLiteral("Connected"));
    QCOMPARE(refusals.count(), 4);

    // Closed by the operator: never asked for again.
    form.Command3_Click(f.closeIndex);
    hub.tick();
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QCOMPARE(form.Text2[f.statusField]->text(), QStringLiteral("Socket Closed"));
    QTRY_VERIFY(server.allDisconnected());
    QCOMPARE(server.accepted(), 1);
}

void tst_Forwarders::tickRelistensSecondServer()
{
    Hub hub;
    Form1 &form = hub.form;
    const quint16 port = listenServer2(hub);
    Winsock &server2 = *form.Winsock1[2];
    auto peer = Peer::connectTo(port);
    QTRY_COMPARE(server2.State(), int(Winsock::sckConnected));

    // With a peer on it the Listen action must not run (it would drop the peer).
    form.setWindowTitle(QStringLiteral("marker"));
    hub.tick();
    QCOMPARE(server2.State(), int(Winsock::sckConnected));
    QCOMPARE(form.windowTitle(), QStringLiteral("marker"));
    QCOMPARE(form.Text4[2]->text(), QStringLiteral("Connected"));
    QCOMPARE(UiColour::backColor(form.Text4[0]), UiColour::Green);

    peer->socket->disconnectFromHost();
    QTRY_COMPARE(server2.State(), int(Winsock::sckClosing));
    hub.tick();
    QCOMPARE(server2.State(), int(Winsock::sckListening));
    QCOMPARE(form.windowTitle(), QStringLiteral("Listening"));
    QCOMPARE(form.Text4[2]->text(), QStringLiteral("Listening"));
    QCOMPARE(UiColour::backColor(form.Text4[0]), UiColour::Yellow);
    auto next = Peer::connectTo(port);
    QTRY_COMPARE(server2.State(), int(Winsock::sckConnected));

    form.Command5_Click(1);
    hub.tick();
    QCOMPARE(server2.State(), int(Winsock::sckClosed));
    QCOMPARE(form.Text4[2]->text(), QStringLiteral("Socket Closed"));
}

void tst_Forwarders::wholeHubRelaysEveryByteWhereItBelongs()
{
    Hub hub;
    Form1 &form = hub.form;
    PtyDevice pty;
    QVERIFY(pty.isValid());
    hub.config.pinPorts({{3, pty.slavePath()}});
    form.ComPort = 3;
    form.Command2_Click(0);
    QVERIFY(form.Com1->PortOpen());

    auto gateway = Peer::connectTo(listenGateway(hub));
    auto second = Peer::connectTo(listenServer2(hub));
    UpstreamServer software;
    UpstreamServer dataHost;
    aim(form, Software, software.port());
    form.Command3_Click(Software.connectIndex);
    aim(form, DataHost, dataHost.port());
    form.Command3_Click(DataHost.connectIndex);
    for (int i = 0; i < 4; ++i)
        QTRY_COMPARE(form.Winsock1[i]->State(), int(Winsock::sckConnected));
    QTRY_COMPARE(software.accepted(), 1);
    QTRY_COMPARE(dataHost.accepted(), 1);

    // Ends 0 gateway peer, 1 software server, 2 second peer, 3 data-host
    // server, 4 serial device. Each end sends only bytes b with b % 5 equal
    // to its number, so every received stream splits back into its sources.
    constexpr int Ends = 5;
    const std::array<QList<int>, Ends> routes = {
        QList<int> {1, 2, 3, 4}, {0, 4}, {0, 4}, {0, 4}, {0, 1, 2}};
    const std::array<QTcpSocket *, 4> sockets = {gateway->socket, software.peers[0]->socket,
                                                 second->socket, dataHost.peers[0]->socket};
    const auto received = [&](int end) -> const QByteArray & {
        switch (end) {
        case 0: return gateway->received;
        case 1: return software.peers[0]->received;
        case 2: return second->received;
        case 3: return dataHost.peers[0]->received;
        default: return pty.received();
        }
    };

    QRandomGenerator random(6);
    std::array<QByteArray, Ends> sent;
    std::array<qsizetype, Ends> expectedSize {};
    for (int round = 0; round < 12; ++round) {
        for (int from = 0; from < Ends; ++from) {
            QByteArray chunk(1 + random.bounded(3000), Qt::Uninitialized);
            for (char &byte : chunk)
                byte = char(random.bounded(51) * Ends + from);
            sent[from] += chunk;
            for (int to : routes[from])
                expectedSize[to] += chunk.size();
            if (from < 4)
                sockets[from]->write(chunk);
            else
                pty.send(chunk);
        }
        const auto allArrived = [&] {
            for (int to = 0; to < Ends; ++to) {
                if (received(to).size() < expectedSize[to])
                    return false;
            }
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(allArrived(), 20000);
    }

    for (int to = 0; to < Ends; ++to) {
        std::array<QByteArray, Ends> bySource;
        for (char byte : received(to))
            bySource[uchar(byte) % Ends] += byte;
        for (int from = 0; from < Ends; ++from) {
            const QByteArray expected = routes[from].contains(to) ? sent[from] : QByteArray();
            QVERIFY2(bySource[from] == expected,
                     qPrintable(QStringLiteral("from end %1 to end %2").arg(from).arg(to)));
        }
    }
    QVERIFY(hub.boxes.shown().isEmpty());
}

QTEST_MAIN(tst_Forwarders)
#include "tst_forwarders.moc"
