// Finding, selecting, opening and closing the serial port, and the bridge
// between the serial device (a pseudo-terminal) and the TCP endpoints.

#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "support/pty_device.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <termios.h>

#include <memory>
#include <vector>

namespace {

// The rows of a list, joined with commas.
QString rowsOf(const QListWidget *list)
{
    QStringList rows;
    for (int i = 0; i < list->count(); ++i)
        rows.append(list->item(i)->text());
    return rows.join(u',');
}

// Bytes with NULs whose period (251) does not divide the 1024-byte reads, so
// chunks that swap places show up as a difference.
QByteArray pattern(int size, int offset)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i + offset) % 251);
    return bytes;
}

// A TCP peer keeping what it receives; each arrival is logged, for order.
struct Peer : QTcpSocket {
    explicit Peer(QList<const Peer *> *arrivals = nullptr)
    {
        connect(this, &QTcpSocket::readyRead, this, [this, arrivals] {
            if (arrivals)
                arrivals->append(this);
            received += readAll();
        });
    }
    QByteArray received;
};

} // namespace

class SerialBridgeTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_form.reset(); QVERIFY(!QGuiApplication::overrideCursor()); }
    void scan_data();
    void scan();
    void openAndClose();
    void delaySurvivesNesting_data();
    void delaySurvivesNesting();
    void bridge();

private:
    void openOn(int port);
    void listenAndConnect(int endpoint, Peer &peer);

    std::unique_ptr<TestConfig> m_config;
    std::unique_ptr<PtyDevice> m_pty1, m_pty3;
    std::unique_ptr<ScriptedMessageBoxes> m_boxes;
    std::unique_ptr<Form1> m_form;
};

// Ports 1 and 3 are devices, 7 is pinned to a path where none exists.
void SerialBridgeTest::init()
{
    m_config.reset(); // the old one restores the environment before the new one is made
    m_config = std::make_unique<TestConfig>();
    m_pty1 = std::make_unique<PtyDevice>();
    m_pty3 = std::make_unique<PtyDevice>();
    QVERIFY(m_pty1->isValid() && m_pty3->isValid());
    m_config->pinPorts({{1, m_pty1->slavePath()}, {3, m_pty3->slavePath()},
                        {7, m_config->dir() + QStringLiteral("/absent-device")}});
    m_boxes = std::make_unique<ScriptedMessageBoxes>();
    m_form = std::make_unique<Form1>(*m_boxes, m_config->dir());
}

void SerialBridgeTest::openOn(int port)
{
    m_form->ComPort = qint16(port);
    m_form->Command2_Click(0);
    QVERIFY(m_form->Com1->PortOpen());
    QCOMPARE(m_form->Com1->CommPort(), port);
}

void SerialBridgeTest::listenAndConnect(int endpoint, Peer &peer)
{
    (endpoint == 0 ? m_form->Text1[0] : m_form->Text4[0])->setText(QStringLiteral("0"));
    endpoint == 0 ? m_form->Command1_Click(0) : m_form->Command5_Click(0);
    peer.connectToHost(QHostAddress::LocalHost, quint16(m_form->Winsock1[endpoint]->LocalPort()));
    QTRY_COMPARE(m_form->Winsock1[endpoint]->State(), int(Winsock::sckConnected));
}

void SerialBridgeTest::scan_data()
{
    QTest::addColumn<QList<int>>("devices"); // pinned besides the absent 7
    QTest::addColumn<int>("heldElsewhere");
    QTest::addColumn<QString>("expected");
    QTest::newRow("1 and 3 present, 7 absent") << QList<int> {1, 3} << 0 << QStringLiteral("1,3");
    QTest::newRow("nothing present") << QList<int>() << 0 << QString();
    QTest::newRow("busy device not listed") << QList<int> {1, 3} << 1 << QStringLiteral("3");
    QTest::newRow("64 is the last number") << QList<int> {64, 65} << 0 << QStringLiteral("64");
}

// Each scan starts with the bridge open on 3 and a peer on endpoint 2. The
// scan closes the bridge and keeps it closed: the peer sends on every pass and
// device 1 has bytes waiting, yet nothing crosses. Then the last listed
// number is selected.
void SerialBridgeTest::scan()
{
    QFETCH(QList<int>, devices);
    QFETCH(int, heldElsewhere);
    QFETCH(QString, expected);
    Form1 &form = *m_form;
    openOn(3);
    Peer peer;
    listenAndConnect(2, peer);
    m_pty1->send("from a probed device");
    std::vector<std::unique_ptr<PtyDevice>> extras;
    QMap<int, QString> pins {{7, m_config->dir() + QStringLiteral("/absent-device")}};
    for (int n : devices) {
        pins.insert(n, n == 1   ? m_pty1->slavePath()
                       : n == 3 ? m_pty3->slavePath()
                                : extras.emplace_back(std::make_unique<PtyDevice>())->slavePath());
    }
    m_config->pinPorts(pins);
    SerialComm holder(form.ports());
    if (heldElsewhere) {
        holder.setCommPort(heldElsewhere);
        holder.setPortOpen(true);
    }
    form.List4->addItem(QStringLiteral("earlier"));
    QSignalSpy routed(form.Winsock1[2], &Winsock::DataArrival);
    bool hourglass = false, closed = false, reopened = false;
    QTimer feeder;
    connect(&feeder, &QTimer::timeout, this, [&] {
        const QCursor *cursor = QGuiApplication::overrideCursor();
        hourglass = hourglass || (cursor && cursor->shape() == Qt::WaitCursor);
        reopened = reopened || (closed && form.Com1->PortOpen());
        closed = closed || !form.Com1->PortOpen();
        if (closed)
            peer.write("X");
    });
    feeder.start(0);
    form.Command4_Click();
    feeder.stop();

    QVERIFY(hourglass);
    QVERIFY(closed && !reopened && routed.count() > 0);
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(m_pty1->received() + m_pty3->received() + peer.received, QByteArray());
    QCOMPARE(rowsOf(form.List3), expected);
    if (expected.isEmpty()) {
        QCOMPARE(m_boxes->texts(), QStringList {QStringLiteral("No COM Port Found")});
        QCOMPARE(rowsOf(form.List4), QStringLiteral("earlier"));
        return;
    }
    QVERIFY(m_boxes->texts().isEmpty());
    QCOMPARE(rowsOf(form.List4), QStringLiteral("Click the port number to select"));
    QVERIFY(!form.List4->isHidden());

    form.List3->setCurrentRow(form.List3->count() - 1);
    form.List3_Click();
    const QString chosen = expected.section(u',', -1);
    QCOMPARE(QString::number(form.ComPort), chosen);
    QCOMPARE(form.settings().read(QStringLiteral("Tolvar"), QStringLiteral("startup"),
                                  QStringLiteral("ComPort"), QString()),
             chosen);
    QCOMPARE(m_boxes->texts(), QStringList {QStringLiteral("Set to COM ") + chosen});
    QVERIFY(form.List4->isHidden());
}

void SerialBridgeTest::openAndClose()
{
    Form1 &form = *m_form;
    form.List4->setVisible(true);
    form.Command2_Click(0); // nothing chosen yet
    QCOMPARE(m_boxes->texts(),
             QStringList {QStringLiteral("No COM port selected. Try \"Find COM Port\" utility")});
    QVERIFY(form.List4->isHidden());
    m_boxes->clear();

    // The caption comes after a wait of about 500 ms that handles events.
    form.setWindowTitle(QStringLiteral("before"));
    QString titleDuringWait;
    QTimer::singleShot(100, this, [&] { titleDuringWait = form.windowTitle(); });
    QElapsedTimer clock;
    clock.start();
    openOn(3);
    QVERIFY(clock.elapsed() >= 500 && clock.elapsed() < 1500);
    QCOMPARE(titleDuringWait, QStringLiteral("before"));
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port # 3 is now open."));
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::Green);
    termios line {}; // as the master end sees the line: 19200 8N1
    QCOMPARE(::tcgetattr(m_pty3->masterFd(), &line), 0);
    QVERIFY(::cfgetospeed(&line) == B19200 && ::cfgetispeed(&line) == B19200);
    QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));

    form.setWindowTitle(QStringLiteral("again"));
    openOn(3); // twice
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port # 3 is now open."));
    PtyDevice pty5;
    m_config->pinPorts({{3, m_pty3->slavePath()}, {5, pty5.slavePath()},
                        {7, m_config->dir() + QStringLiteral("/absent-device")}});
    openOn(5);
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port # 5 is now open."));
    SerialComm other(form.ports()); // port 3 was released; held from here on
    other.setCommPort(3);
    other.setPortOpen(true);
    QVERIFY(other.PortOpen());

    form.Command2_Click(1);
    QVERIFY(!form.Com1->PortOpen());
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port is Closed."));
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::White);
    QCOMPARE(UiColour::foreColor(form.Text3), UiColour::White);
    form.setWindowTitle(QStringLiteral("unchanged"));
    form.Command2_Click(1); // Close while closed changes nothing
    QCOMPARE(form.windowTitle(), QStringLiteral("unchanged"));
    QVERIFY(m_boxes->texts().isEmpty());

    // An absent port: No leaves it at that, Yes scans.
    for (bool yes : {false, true}) {
        m_boxes->clear();
        m_boxes->answerNext(yes ? MessageBoxes::Answer::Yes : MessageBoxes::Answer::No);
        form.ComPort = 7;
        form.Command2_Click(0);
        QCOMPARE(m_boxes->texts().join(u'|'),
                 QStringLiteral("Invalid COM port. Would you like to search for available ports?"
                                "|Error opening COM port"));
        QCOMPARE(m_boxes->shown().at(0).buttons, MessageBoxes::Buttons::YesNo);
        QCOMPARE(rowsOf(form.List3), yes ? QStringLiteral("5") : QString());
        QVERIFY(!form.Com1->PortOpen());
    }
}

void SerialBridgeTest::delaySurvivesNesting_data()
{
    QTest::addColumn<int>("nestedMs"); // a nested Dly 100 ms into ours
    QTest::addColumn<int>("atLeast");
    QTest::newRow("short nested wait") << 50 << 300;
    QTest::newRow("nested wait outlasting ours") << 400 << 500;
}

void SerialBridgeTest::delaySurvivesNesting()
{
    QFETCH(int, nestedMs);
    QFETCH(int, atLeast);
    QTimer::singleShot(100, m_form.get(), [&] { m_form->Dly(qint16(nestedMs)); });
    QElapsedTimer clock;
    clock.start();
    m_form->Dly(300);
    QVERIFY2(clock.elapsed() >= atLeast && clock.elapsed() < atLeast + 300,
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!m_form->Timer3->isActive());
}

// One scenario over the open bridge: a MiB each way with the second server's
// peer; then with the gateway and the data host connected too, the order of
// the copies; receive events nested in the relay; the device vanishing while
// data flows.
void SerialBridgeTest::bridge()
{
    Form1 &form = *m_form;
    openOn(3);
    QList<const Peer *> arrivals;
    Peer gateway(&arrivals), server2(&arrivals);
    listenAndConnect(2, server2);
    constexpr int MiB = 1 << 20;
    server2.write(pattern(MiB, 0));
    m_pty3->send(pattern(MiB, 100));
    QTRY_COMPARE_WITH_TIMEOUT(m_pty3->received().size(), MiB, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(server2.received.size(), MiB, 60000);
    QVERIFY(m_pty3->takeReceived() == pattern(MiB, 0));
    QVERIFY(server2.received == pattern(MiB, 100));

    // Serial data goes to the gateway first, then to endpoint 2; the data-host
    // forwarder never gets any.
    listenAndConnect(0, gateway);
    QTcpServer dataHost;
    QVERIFY(dataHost.listen(QHostAddress::LocalHost));
    form.Text2[4]->setText(QStringLiteral("127.0.0.1"));
    form.Text2[5]->setText(QString::number(dataHost.serverPort()));
    form.Command3_Click(3);
    QTRY_VERIFY(dataHost.hasPendingConnections());
    QTcpSocket *dataHostPeer = dataHost.nextPendingConnection();
    QTRY_COMPARE(form.Winsock1[3]->State(), int(Winsock::sckConnected));
    server2.received.clear();
    arrivals.clear();
    const QByteArray chunk("from the device\0!", 17);
    m_pty3->send(chunk);
    QTRY_COMPARE(server2.received, chunk);
    QTRY_COMPARE(gateway.received, chunk);
    QCOMPARE(arrivals.first(), &gateway);

    // The same handler, wrapped: the first receive event raises a second one
    // that runs inside its pass of the event queue, as a nested event would.
    int depth = 0;
    bool forced = false;
    bool nestedWithData = false;
    QObject::disconnect(form.Com1, nullptr, &form, nullptr);
    connect(form.Com1, &SerialComm::OnComm, &form, [&] {
        ++depth;
        nestedWithData = nestedWithData || (depth > 1 && form.Com1->InBufferCount() > 0);
        if (depth == 1 && !forced && form.Com1->InBufferCount() > 1024) {
            forced = true; // more than this read takes: the nested one gets the rest
            QTimer::singleShot(0, form.Com1, [&] { emit form.Com1->OnComm(); });
        }
        form.Com1_OnComm();
        --depth;
    });
    const QByteArray burst = pattern(64 * 1024, 7);
    m_pty3->send(burst);
    QTRY_COMPARE_WITH_TIMEOUT(server2.received.size(), chunk.size() + burst.size(), 20000);
    QVERIFY2(nestedWithData, "no receive event with data ran nested");
    QVERIFY(server2.received == chunk + burst);
    QTRY_VERIFY(gateway.received == chunk + burst);
    QCOMPARE(dataHostPeer->bytesAvailable(), qint64(0));

    server2.write(pattern(256 * 1024, 1));
    m_pty3->send(pattern(256 * 1024, 2));
    QTRY_VERIFY(server2.received.size() > chunk.size() + burst.size());
    QTRY_VERIFY(!m_pty3->received().isEmpty());
    m_pty3->vanish();
    QTRY_COMPARE(form.windowTitle(), QStringLiteral("COM Port # 3 was lost."));
    QVERIFY(!form.Com1->PortOpen());
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::Red);
    QVERIFY(m_boxes->texts().isEmpty());
    server2.write("still here"); // TCP keeps flowing; the bridge has nowhere to write
    QTRY_VERIFY(gateway.received.endsWith("still here"));
    QCOMPARE(form.Winsock1[2]->State(), int(Winsock::sckConnected));
}

QTEST_MAIN(SerialBridgeTest)
#include "tst_serial_bridge.moc"
