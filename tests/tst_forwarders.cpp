// The upstream forwarders and the supervision tick against real TCP servers
// on 127.0.0.1, and the whole hub relaying between all its endpoints.

#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "support/pty_device.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");
const QString Unset = QStringLiteral("<unset>");

// Config folder, scripted boxes and the window; the tests run the tick.
struct Hub {
    TestConfig config;
    ScriptedMessageBoxes boxes;
    Form1 form {boxes, config.dir()};
    Hub() { form.Timer1->stop(); }
    void tick() { form.Timer1_Timer(); form.Timer1->stop(); } // Listen restarts Timer1
    QString setting(const char *key)
    {
        return form.settings().read(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                                    QLatin1String(key), Unset);
    }
};

// Buttons, socket, Text2 fields (port, host, status), setting keys, flag.
struct Forwarder {
    int connectIndex, closeIndex, socket, portField, hostField, statusField;
    const char *hostKey, *portKey;
    bool Form1::*armed;
};
const Forwarder Forwarders[2] = {
    {0, 1, 1, 0, 1, 2, "RemoteHost", "RemotePort", &Form1::SoftwareForwarderArmed},
    {3, 2, 3, 5, 4, 3, "RemoteHost3", "RemotePort3", &Form1::DataHostForwarderArmed}};

void aim(Form1 &form, const Forwarder &f, quint16 port)
{
    form.Text2[f.hostField]->setText(Loopback);
    form.Text2[f.portField]->setText(QString::number(port));
}

// One end of a TCP connection that keeps everything it receives.
struct Peer : QTcpSocket {
    explicit Peer(quint16 port = 0)
    {
        connect(this, &QTcpSocket::readyRead, this, [this] { received += readAll(); });
        if (port)
            connectToHost(QHostAddress::LocalHost, port);
    }
    bool gone() const { return state() == UnconnectedState; }
    QByteArray received;
};

// An upstream server standing for the host software or the data host.
struct Upstream : QTcpServer {
    explicit Upstream(quint16 port = 0) { listen(QHostAddress::LocalHost, port); }
    void incomingConnection(qintptr descriptor) override
    {
        peers.append(new Peer);
        peers.last()->setParent(this);
        peers.last()->setSocketDescriptor(descriptor);
    }
    QList<Peer *> peers;
};

// Listens the gateway (0) or the second server (2) on an OS-chosen port and
// leaves that port in the field, so the tick's Listen reopens the same one.
quint16 listenOn(Hub &hub, int endpoint)
{
    QLineEdit *field = endpoint == 0 ? hub.form.Text1[0] : hub.form.Text4[0];
    field->setText(QStringLiteral("0"));
    endpoint == 0 ? hub.form.Command1_Click(0) : hub.form.Command5_Click(0);
    hub.form.Timer1->stop();
    field->setText(QString::number(hub.form.Winsock1[endpoint]->LocalPort()));
    return quint16(hub.form.Winsock1[endpoint]->LocalPort());
}

} // namespace

class tst_Forwarders : public QObject
{
    Q_OBJECT

private slots:
    void connectAndClose_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("software") << 0;
        QTest::newRow("data host") << 1;
    }
    void connectAndClose();
    void connectPortText_data();
    void connectPortText();
    void supervisionAndWholeHub();
};

void tst_Forwarders::connectAndClose()
{
    QFETCH(int, which);
    const Forwarder &f = Forwarders[which];
    Hub hub;
    Form1 &form = hub.form;
    Winsock &socket = *form.Winsock1[f.socket];
    QLineEdit *portField = form.Text2[f.portField];
    QLineEdit *status = form.Text2[f.statusField];
    Upstream first, second;

    // Connect while connecting starts over: it lands on the second server.
    aim(form, f, first.serverPort());
    form.Command3_Click(f.connectIndex);
    QVERIFY(socket.State() >= Winsock::sckResolvingHost);
    QVERIFY(socket.State() <= Winsock::sckConnecting);
    aim(form, f, second.serverPort());
    form.Command3_Click(f.connectIndex);
    QCOMPARE(UiColour::backColor(portField), UiColour::Yellow);
    QTRY_COMPARE(UiColour::backColor(portField), UiColour::Green); // the event, not a tick
    QTRY_COMPARE(second.peers.size(), qsizetype(1));

    // Connect while connected only shows the state; nothing else changes.
    form.Text2[f.hostField]->setText(QStringLiteral("192.0.2.1"));
    portField->setText(QStringLiteral("1"));
    UiColour::setBackColor(portField, UiColour::Blue);
    form.*f.armed = false;
    form.Command3_Click(f.connectIndex);
    QCOMPARE(status->text(), QStringLiteral("7"));
    QCOMPARE(socket.RemotePort(), second.serverPort());
    QCOMPARE(hub.setting(f.portKey), QString::number(second.serverPort()));
    QCOMPARE(UiColour::backColor(portField), UiColour::Blue);
    QVERIFY(form.*f.armed);

    // Connect while the peer is closing starts over too.
    second.peers[0]->disconnectFromHost();
    QTRY_COMPARE(socket.State(), int(Winsock::sckClosing));
    aim(form, f, second.serverPort());
    form.Command3_Click(f.connectIndex);
    QTRY_COMPARE(second.peers.size(), qsizetype(2));
    QTRY_COMPARE(socket.State(), int(Winsock::sckConnected));

    // Close, connected and then closed: red and the state number each time;
    // the saved port is not touched.
    portField->setText(QStringLiteral("1"));
    for (int i = 0; i < 2; ++i) {
        UiColour::setBackColor(portField, UiColour::Blue);
        form.Command3_Click(f.closeIndex);
        QVERIFY(!(form.*f.armed));
        QCOMPARE(socket.State(), int(Winsock::sckClosed));
        QCOMPARE(UiColour::backColor(portField), UiColour::Red);
        QCOMPARE(status->text(), QStringLiteral("0"));
        QCOMPARE(hub.setting(f.portKey), QString::number(second.serverPort()));
    }
    QTRY_VERIFY(second.peers[1]->gone());
}

void tst_Forwarders::connectPortText_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("socketPort"); // 4321 was there before
    QTest::addColumn<int>("error");      // 0: saved and connecting
    QTest::newRow("half to even, down") << 0 << QStringLiteral("80.5") << 80 << 0;
    QTest::newRow("half to even, up") << 1 << QStringLiteral("81.5") << 82 << 0;
    QTest::newRow("blanks around") << 0 << QStringLiteral(" 80 ") << 80 << 0;
    QTest::newRow("empty") << 0 << QString() << 4321 << 13;
    QTest::newRow("letters") << 1 << QStringLiteral("abc") << 4321 << 13;
    QTest::newRow("trailing letters") << 0 << QStringLiteral("8082abc") << 4321 << 13;
    QTest::newRow("beyond 32 bits") << 0 << QStringLiteral("99999999999") << 4321 << 6;
    QTest::newRow("refused by the socket") << 1 << QStringLiteral("70000") << 4321 << 380;
    QTest::newRow("settings not writable") << 0 << QStringLiteral("81") << 81 << 75;
}

// Settings are written only once the socket took host and port.
void tst_Forwarders::connectPortText()
{
    QFETCH(int, which);
    QFETCH(QString, text);
    QFETCH(int, socketPort);
    QFETCH(int, error);
    const Forwarder &f = Forwarders[which];
    Hub hub;
    Form1 &form = hub.form;
    Winsock &socket = *form.Winsock1[f.socket];
    socket.setRemoteHost(QStringLiteral("192.0.2.9"));
    socket.setRemotePort(4321);
    if (error == 75) // a folder where the settings file goes
        QVERIFY(QDir().mkpath(form.settings().filePath(QStringLiteral("Harborcast"))));
    form.Text2[f.hostField]->setText(Loopback);
    form.Text2[f.portField]->setText(text);
    UiColour::setBackColor(form.Text2[f.portField], UiColour::White);

    form.Command3_Click(f.connectIndex);

    const bool ok = error == 0;
    const QString message = QStringLiteral("HA Connect Client Error # %1   State = 0").arg(error);
    QVERIFY(form.*f.armed); // armed even when it failed: the tick retries
    QCOMPARE(socket.RemotePort(), socketPort);
    QCOMPARE(hub.boxes.texts(), ok ? QStringList() : QStringList {message});
    QCOMPARE(socket.State() != Winsock::sckClosed, ok);
    QCOMPARE(UiColour::backColor(form.Text2[f.portField]), ok ? UiColour::Yellow : UiColour::White);
    QCOMPARE(hub.setting(f.hostKey), ok ? Loopback : Unset);
    QCOMPARE(hub.setting(f.portKey), ok ? text : Unset);
    QCOMPARE(hub.setting(Forwarders[1 - which].portKey), Unset);
}

// Both forwarders armed against servers that are down are retried on every
// tick with what their sockets hold; nothing the gateway sent meanwhile is
// kept for them. Once up, every byte between all four endpoints and the
// serial device lands where routing says, in order. A closed forwarder is
// left alone; the second server is listened again only once its peer left.
void tst_Forwarders::supervisionAndWholeHub()
{
    Hub hub;
    Form1 &form = hub.form;
    PtyDevice pty;
    QVERIFY(pty.isValid());
    hub.config.pinPorts({{3, pty.slavePath()}});
    form.ComPort = 3;
    form.Command2_Click(0);
    QVERIFY(form.Com1->PortOpen());
    Peer gateway(listenOn(hub, 0));
    const quint16 port2 = listenOn(hub, 2);
    Peer second(port2);
    Winsock &server2 = *form.Winsock1[2];
    QTRY_COMPARE(form.Winsock1[0]->State(), int(Winsock::sckConnected));
    QTRY_COMPARE(server2.State(), int(Winsock::sckConnected));

    Upstream software, dataHost; // down until they listen again on the same ports
    const quint16 ports[2] = {software.serverPort(), dataHost.serverPort()};
    software.close();
    dataHost.close();
    QSignalSpy refusedSoftware(form.Winsock1[1], &Winsock::Error);
    QSignalSpy refusedDataHost(form.Winsock1[3], &Winsock::Error);
    for (int i : {0, 1}) {
        aim(form, Forwarders[i], ports[i]);
        form.Command3_Click(Forwarders[i].connectIndex);
        form.Text2[Forwarders[i].portField]->setText(QStringLiteral("1"));
    }
    QTRY_VERIFY(refusedSoftware.count() == 1 && refusedDataHost.count() == 1);
    gateway.write("while down");
    QTRY_COMPARE(second.received, QByteArray("while down"));
    QTRY_COMPARE(pty.received(), QByteArray("while down"));
    (void)pty.takeReceived();
    second.received.clear();
    form.setWindowTitle(QStringLiteral("marker"));
    for (int attempt = 2; attempt <= 3; ++attempt) {
        hub.tick();
        QTRY_VERIFY(refusedSoftware.count() == attempt && refusedDataHost.count() == attempt);
    }
    QCOMPARE(form.windowTitle(), QStringLiteral("marker")); // no Listen with a peer on 2

    QVERIFY(software.listen(QHostAddress::LocalHost, ports[0]));
    QVERIFY(dataHost.listen(QHostAddress::LocalHost, ports[1]));
    hub.tick();
    QTRY_VERIFY(software.peers.size() == 1 && dataHost.peers.size() == 1);
    QTRY_COMPARE(form.Winsock1[1]->State(), int(Winsock::sckConnected));
    QTRY_COMPARE(form.Winsock1[3]->State(), int(Winsock::sckConnected));
    hub.tick(); // no Connect on a connected socket: the tick gets to the display
    QCOMPARE(form.Text2[Forwarders[0].statusField]->text(), QStringLiteral("Connected"));
    QCOMPARE(form.Text2[Forwarders[1].statusField]->text(), QStringLiteral("Connected"));

    // Ends 0 gateway peer, 1 software server, 2 second peer, 3 data-host
    // server, 4 serial device. Each end sends only bytes b with b % 5 equal
    // to its number, so every received stream splits back into its sources.
    constexpr int Ends = 5;
    const QList<int> routes[Ends] = {{1, 2, 3, 4}, {0, 4}, {0, 4}, {0, 4}, {0, 1, 2}};
    Peer *const peers[4] = {&gateway, software.peers[0], &second, dataHost.peers[0]};
    QRandomGenerator random(6);
    QByteArray sent[Ends];
    for (int round = 0; round < 12; ++round) {
        for (int from = 0; from < Ends; ++from) {
            QByteArray chunk(1 + random.bounded(3000), Qt::Uninitialized);
            for (char &byte : chunk)
                byte = char(random.bounded(51) * Ends + from);
            sent[from] += chunk;
            from < 4 ? void(peers[from]->write(chunk)) : pty.send(chunk);
        }
    }
    const auto bySource = [&](int to, int from) {
        QByteArray bytes;
        for (char byte : to < 4 ? peers[to]->received : pty.received()) {
            if (uchar(byte) % Ends == from)
                bytes += byte;
        }
        return bytes;
    };
    // What must arrive first, then what must not have arrived meanwhile.
    for (bool routed : {true, false}) {
        for (int to = 0; to < Ends; ++to) {
            for (int from = 0; from < Ends; ++from) {
                if (routes[from].contains(to) == routed)
                    QTRY_COMPARE_WITH_TIMEOUT(bySource(to, from),
                                              routed ? sent[from] : QByteArray(), 20000);
            }
        }
    }
    QVERIFY(hub.boxes.shown().isEmpty());

    form.Command3_Click(Forwarders[0].closeIndex);
    hub.tick();
    QCOMPARE(form.Winsock1[1]->State(), int(Winsock::sckClosed));
    QTRY_VERIFY(software.peers[0]->gone());
    QCOMPARE(software.peers.size(), qsizetype(1));

    second.disconnectFromHost();
    QTRY_COMPARE(server2.State(), int(Winsock::sckClosing));
    hub.tick();
    QCOMPARE(server2.State(), int(Winsock::sckListening));
    QCOMPARE(form.windowTitle(), QStringLiteral("Listening"));
    Peer next(port2);
    QTRY_COMPARE(server2.State(), int(Winsock::sckConnected));
}

QTEST_MAIN(tst_Forwarders)
#include "tst_forwarders.moc"
