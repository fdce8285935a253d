#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "support/pty_device.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <termios.h>

#include <memory>
#include <vector>

using Answer = MessageBoxes::Answer;

namespace {

const QString NoPortSelected = QStringLiteral("No COM port selected. Try \"Find COM Port\" utility");
const QString InvalidPort =
    QStringLiteral("Invalid COM port. Would you like to search for available ports?");
const QString OpenFailed = QStringLiteral("Error opening COM port");
const QString Hint = QStringLiteral("Click the port number to select");

QStringList numbers(const QList<int> &ports)
{
    QStringList texts;
    for (int port : ports)
        texts.append(QString::number(port));
    return texts;
}

QStringList rowsOf(const QListWidget *list)
{
    QStringList rows;
    for (int i = 0; i < list->count(); ++i)
        rows.append(list->item(i)->text());
    return rows;
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

// A TCP peer keeping what it receives and when it first received (order).
struct Peer {
    QTcpSocket socket;
    QByteArray received;
    int firstArrival = -1;

    explicit Peer(int *arrivals)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this, arrivals] {
            if (firstArrival < 0)
                firstArrival = (*arrivals)++;
            received += socket.readAll();
        });
    }
};

} // namespace

class SerialBridgeTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void scan_data();
    void scan();
    void selectionSavesAndShows();
    void scanKeepsBridgePortClosedAndWritesNothing();
    void delaySurvivesNesting_data();
    void delaySurvivesNesting();
    void freshStart();
    void openConfiguresLine();
    void absentPort_data();
    void absentPort();
    void openTwiceSwitchThenClose();
    void bridgeBothWaysOneMiB();
    void serialToGatewayThenServer2NeverDataHost();
    void nestedReceiveKeepsOrder();
    void deviceVanishesWhileFlowing();

private:
    void openOn(int port);
    void listenAndConnect(int endpoint, Peer &peer);

    std::unique_ptr<TestConfig> m_config;
    std::unique_ptr<PtyDevice> m_pty1;
    std::unique_ptr<PtyDevice> m_pty3;
    std::unique_ptr<ScriptedMessageBoxes> m_boxes;
    std::unique_ptr<Form1> m_form;
    int m_arrivals = 0;
};

void SerialBridgeTest::init()
{
    m_config = std::make_unique<TestConfig>();
    m_pty1 = std::make_unique<PtyDevice>();
    m_pty3 = std::make_unique<PtyDevice>();
    QVERIFY(m_pty1->isValid() && m_pty3->isValid());
    m_config->pinPorts({{1, m_pty1->slavePath()}, {3, m_pty3->slavePath()},
                        {7, m_config->dir() + QStringLiteral("/absent-device")}});
    m_boxes = std::make_unique<ScriptedMessageBoxes>();
    m_form = std::make_unique<Form1>(*m_boxes, m_config->dir());
    m_arrivals = 0;
}

void SerialBridgeTest::cleanup()
{
    m_form.reset();
    m_boxes.reset();
    m_pty1.reset();
    m_pty3.reset();
    m_config.reset();
    QVERIFY(!QGuiApplication::overrideCursor());
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
    Form1 &form = *m_form;
    if (endpoint == 0) {
        form.Text1[0]->setText(QStringLiteral("0"));
        form.Command1_Click(0);
    } else {
        form.Text4[0]->setText(QStringLiteral("0"));
        form.Command5_Click(0);
    }
    QCOMPARE(form.Winsock1[endpoint]->State(), int(Winsock::sckListening));
    peer.socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(form.Winsock1[endpoint]->LocalPort()));
    QTRY_COMPARE_WITH_TIMEOUT(form.Winsock1[endpoint]->State(), int(Winsock::sckConnected), 5000);
}

void SerialBridgeTest::scan_data()
{
    QTest::addColumn<QList<int>>("extraDevices"); // pinned besides 1, 3 and the absent 7
    QTest::addColumn<bool>("keep1and3");
    QTest::addColumn<int>("heldElsewhere");
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("1 and 3 present, 7 absent") << QList<int>() << true << 0 << QList<int>{1, 3};
    QTest::newRow("nothing present") << QList<int>() << false << 0 << QList<int>();
    QTest::newRow("busy device not listed") << QList<int>() << true << 3 << QList<int>{1};
    QTest::newRow("64 is the last number") << QList<int>{64, 65} << false << 0 << QList<int>{64};
}

void SerialBridgeTest::scan()
{
    QFETCH(QList<int>, extraDevices);
    QFETCH(bool, keep1and3);
    QFETCH(int, heldElsewhere);
    QFETCH(QList<int>, expected);
    Form1 &form = *m_form;

    std::vector<std::unique_ptr<PtyDevice>> extras;
    QMap<int, QString> pins{{7, m_config->dir() + QStringLiteral("/absent-device")}};
    if (keep1and3) {
        pins.insert(1, m_pty1->slavePath());
        pins.insert(3, m_pty3->slavePath());
    }
    for (int number : extraDevices) {
        extras.push_back(std::make_unique<PtyDevice>());
        pins.insert(number, extras.back()->slavePath());
    }
    m_config->pinPorts(pins);
    SerialComm holder(form.ports());
    if (heldElsewhere) {
        holder.setCommPort(heldElsewhere);
        holder.setPortOpen(true);
    }
    form.List4->addItem(QStringLiteral("earlier"));

    bool hourglassSeen = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        const QCursor *cursor = QGuiApplication::overrideCursor();
        hourglassSeen = hourglassSeen || (cursor && cursor->shape() == Qt::WaitCursor);
    });
    watch.start(0);
    form.Command4_Click();
    watch.stop();

    QVERIFY(hourglassSeen);
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(rowsOf(form.List3), numbers(expected));
    QCOMPARE(form.PortCount, qint16(expected.size()));
    if (expected.isEmpty()) {
        QCOMPARE(m_boxes->texts(), QStringList{QStringLiteral("No COM Port Found")});
        QCOMPARE(rowsOf(form.List4), QStringList{QStringLiteral("earlier")});
    } else {
        QCOMPARE(m_boxes->texts(), QStringList());
        QCOMPARE(rowsOf(form.List4), QStringList{Hint});
        QVERIFY(!form.List4->isHidden());
    }
    QVERIFY(!form.Com1->PortOpen());
}

void SerialBridgeTest::selectionSavesAndShows()
{
    Form1 &form = *m_form;
    form.Command4_Click();
    QCOMPARE(rowsOf(form.List3), numbers({1, 3}));

    form.List3->setCurrentRow(1);
    form.List3_Click();
    QCOMPARE(form.ComPort, qint16(3));
    QCOMPARE(form.settings().read(QStringLiteral("Tolvar"), QStringLiteral("startup"),
                                  QStringLiteral("ComPort"), QString()),
             QStringLiteral("3"));
    QCOMPARE(form.Text3->text(), QStringLiteral("3"));
    QCOMPARE(m_boxes->texts(), QStringList{QStringLiteral("Set to COM 3")});
    QVERIFY(form.List4->isHidden());
    QVERIFY(!form.Com1->PortOpen());

    // A click that leaves no row selected changes nothing.
    form.List3->clearSelection();
    form.List3_Click();
    QCOMPARE(form.ComPort, qint16(3));
    QCOMPARE(m_boxes->texts().size(), 1);
}

void SerialBridgeTest::scanKeepsBridgePortClosedAndWritesNothing()
{
    Form1 &form = *m_form;
    openOn(3);
    Peer peer(&m_arrivals);
    listenAndConnect(2, peer);

    // Once the scan has closed the bridge, the peer sends on every pass and
    // device 1 has bytes waiting: the bridge must read closed on every pass
    // and nothing may cross between a probed device and a socket.
    m_pty1->send("from a probed device");
    const QString caption = form.windowTitle();
    QSignalSpy routed(form.Winsock1[2], &Winsock::DataArrival);
    bool closed = false;
    bool seenOpenAgain = false;
    QTimer feeder;
    connect(&feeder, &QTimer::timeout, this, [&] {
        if (form.Com1->PortOpen()) {
            seenOpenAgain = seenOpenAgain || closed;
            return;
        }
        closed = true;
        peer.socket.write("X");
    });
    feeder.start(0);
    form.Command4_Click();
    feeder.stop();

    QVERIFY(closed && routed.count() > 0);
    QVERIFY(!seenOpenAgain);
    QCOMPARE(rowsOf(form.List3), numbers({1, 3}));
    QVERIFY(!form.Com1->PortOpen());
    QCOMPARE(m_pty1->received(), QByteArray());
    QCOMPARE(m_pty3->received(), QByteArray());
    QCOMPARE(peer.received, QByteArray());
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::Green); // the scan leaves them
    QCOMPARE(form.windowTitle(), caption);
}

void SerialBridgeTest::delaySurvivesNesting_data()
{
    QTest::addColumn<int>("nestedAfter");
    QTest::addColumn<int>("nestedMs");
    QTest::addColumn<int>("atLeast");
    QTest::newRow("no nesting") << -1 << 0 << 300;
    QTest::newRow("short nested wait") << 100 << 50 << 300;
    QTest::newRow("nested wait outlasting ours") << 100 << 400 << 500;
}

void SerialBridgeTest::delaySurvivesNesting()
{
    QFETCH(int, nestedAfter);
    QFETCH(int, nestedMs);
    QFETCH(int, atLeast);
    if (nestedAfter >= 0)
        QTimer::singleShot(nestedAfter, m_form.get(), [&] { m_form->Dly(qint16(nestedMs)); });
    QElapsedTimer clock;
    clock.start();
    m_form->Dly(300);
    QVERIFY2(clock.elapsed() >= atLeast, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(clock.elapsed() < atLeast + 300, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!m_form->Timer3->isActive());
}

void SerialBridgeTest::freshStart()
{
    Form1 &form = *m_form;
    form.List4->setVisible(true);
    form.Command2_Click(0);
    QCOMPARE(m_boxes->texts(), QStringList{NoPortSelected});
    QVERIFY(!form.Com1->PortOpen());
    QVERIFY(form.List4->isHidden());

    // Close while closed changes nothing.
    form.setWindowTitle(QStringLiteral("unchanged"));
    UiColour::setBackColor(form.Text3, UiColour::Blue);
    form.Command2_Click(1);
    QCOMPARE(form.windowTitle(), QStringLiteral("unchanged"));
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::Blue);
    QCOMPARE(m_boxes->texts().size(), 1);
}

void SerialBridgeTest::openConfiguresLine()
{
    Form1 &form = *m_form;
    bool handledDuringWait = false;
    QTimer::singleShot(100, this, [&] { handledDuringWait = true; });
    QElapsedTimer clock;
    clock.start();
    openOn(3);
    QVERIFY(clock.elapsed() >= 500 && clock.elapsed() < 1500);
    QVERIFY(handledDuringWait);
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port # 3 is now open."));
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::Green);
    QCOMPARE(UiColour::foreColor(form.Text3), UiColour::Black);
    QCOMPARE(form.Com1->DevicePath(), m_pty3->slavePath());
    QVERIFY(m_boxes->texts().isEmpty());

    // The master end reports the line settings the device was given.
    termios line {};
    QCOMPARE(::tcgetattr(m_pty3->masterFd(), &line), 0);
    QCOMPARE(::cfgetospeed(&line), speed_t(B19200));
    QCOMPARE(::cfgetispeed(&line), speed_t(B19200));
    QCOMPARE(line.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(line.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
}

void SerialBridgeTest::absentPort_data()
{
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QList<int>>("listed");
    QTest::newRow("No") << false << QList<int>();
    QTest::newRow("Yes scans") << true << QList<int>{1, 3};
}

void SerialBridgeTest::absentPort()
{
    QFETCH(bool, yes);
    QFETCH(QList<int>, listed);
    Form1 &form = *m_form;
    openOn(3);
    m_boxes->answerNext(yes ? Answer::Yes : Answer::No);
    form.ComPort = 7;
    form.Command2_Click(0);

    QCOMPARE(m_boxes->texts(), (QStringList{InvalidPort, OpenFailed}));
    QCOMPARE(m_boxes->shown().at(0).buttons, MessageBoxes::Buttons::YesNo);
    QCOMPARE(m_boxes->shown().at(1).buttons, MessageBoxes::Buttons::Ok);
    QCOMPARE(rowsOf(form.List3), numbers(listed));
    QVERIFY(!form.Com1->PortOpen());
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::Green); // a failed Open leaves it
}

void SerialBridgeTest::openTwiceSwitchThenClose()
{
    Form1 &form = *m_form;
    openOn(3);
    form.setWindowTitle(QStringLiteral("before"));
    openOn(3);
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port # 3 is now open."));
    QCOMPARE(form.Com1->DevicePath(), m_pty3->slavePath());

    PtyDevice pty5;
    m_config->pinPorts({{3, m_pty3->slavePath()}, {5, pty5.slavePath()}});
    openOn(5);
    QCOMPARE(form.Com1->DevicePath(), pty5.slavePath());
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port # 5 is now open."));
    SerialComm other(form.ports()); // port 3 was released
    other.setCommPort(3);
    other.setPortOpen(true);
    QVERIFY(other.PortOpen());

    form.Text3->setText(QStringLiteral("x"));
    form.Command2_Click(1);
    QVERIFY(!form.Com1->PortOpen());
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port is Closed."));
    QCOMPARE(form.Text3->text(), QStringLiteral("5"));
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::White);
    QCOMPARE(UiColour::foreColor(form.Text3), UiColour::White);
    QVERIFY(m_boxes->texts().isEmpty());
}

void SerialBridgeTest::bridgeBothWaysOneMiB()
{
    constexpr int Size = 1 << 20;
    openOn(3);
    Peer peer(&m_arrivals);
    listenAndConnect(2, peer);
    const QByteArray toDevice = pattern(Size, 0);
    const QByteArray fromDevice = pattern(Size, 100);
    peer.socket.write(toDevice);
    m_pty3->send(fromDevice);
    QTRY_COMPARE_WITH_TIMEOUT(m_pty3->received().size(), Size, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), Size, 60000);
    QVERIFY(m_pty3->received() == toDevice);
    QVERIFY(peer.received == fromDevice);
}

void SerialBridgeTest::serialToGatewayThenServer2NeverDataHost()
{
    Form1 &form = *m_form;
    openOn(3);
    Peer gateway(&m_arrivals);
    Peer server2(&m_arrivals);
    listenAndConnect(0, gateway);
    listenAndConnect(2, server2);
    QTcpServer dataHost;
    QVERIFY(dataHost.listen(QHostAddress::LocalHost, 0));
    form.Winsock1[3]->setRemoteHost(QStringLiteral("127.0.0.1"));
    form.Winsock1[3]->setRemotePort(dataHost.serverPort());
    form.Winsock1[3]->Connect();
    QVERIFY(dataHost.waitForNewConnection(5000));
    QTcpSocket *dataHostPeer = dataHost.nextPendingConnection();
    QTRY_COMPARE_WITH_TIMEOUT(form.Winsock1[3]->State(), int(Winsock::sckConnected), 5000);

    const QByteArray chunk("from the device\0!", 17);
    m_pty3->send(chunk);
    QTRY_COMPARE_WITH_TIMEOUT(server2.received, chunk, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received, chunk, 5000);
    QVERIFY(gateway.firstArrival < server2.firstArrival);
    QCOMPARE(dataHostPeer->bytesAvailable(), qint64(0));
}

void SerialBridgeTest::nestedReceiveKeepsOrder()
{
    Form1 &form = *m_form;
    openOn(3);
    Peer peer(&m_arrivals);
    listenAndConnect(2, peer);

    // The same handler, wrapped: the first receive event raises a second one
    // that runs inside its pass of the event queue, as a nested event would.
    int depth = 0;
    bool forced = false;
    bool nestedRan = false;
    qint64 waitingForNested = 0;
    QObject::disconnect(form.Com1, nullptr, &form, nullptr);
    connect(form.Com1, &SerialComm::OnComm, &form, [&] {
        ++depth;
        nestedRan = nestedRan || depth > 1;
        if (depth == 1 && !forced && form.Com1->InBufferCount() > 1024) {
            forced = true; // more than this read takes: the nested one gets the rest
            QTimer::singleShot(0, form.Com1, [&] {
                waitingForNested = form.Com1->InBufferCount();
                emit form.Com1->OnComm();
            });
        }
        form.Com1_OnComm();
        --depth;
    });

    const QByteArray burst = pattern(64 * 1024, 7);
    m_pty3->send(burst);
    QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), burst.size(), 20000);
    QVERIFY(forced);
    QVERIFY2(nestedRan && waitingForNested > 0, "no receive event with data ran nested");
    QVERIFY(peer.received == burst);
}

void SerialBridgeTest::deviceVanishesWhileFlowing()
{
    Form1 &form = *m_form;
    openOn(3);
    Peer peer(&m_arrivals);
    listenAndConnect(2, peer);
    peer.socket.write(pattern(256 * 1024, 1));
    m_pty3->send(pattern(256 * 1024, 2));
    QTRY_VERIFY_WITH_TIMEOUT(!peer.received.isEmpty() && !m_pty3->received().isEmpty(), 5000);

    m_pty3->vanish();
    QTRY_VERIFY_WITH_TIMEOUT(!form.Com1->PortOpen(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(form.windowTitle(), QStringLiteral("COM Port # 3 was lost."), 5000);
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::Red);
    QCOMPARE(UiColour::foreColor(form.Text3), UiColour::White);
    QVERIFY(m_boxes->texts().isEmpty());

    // TCP keeps flowing; the bridge just has nowhere to write.
    peer.socket.write("still here");
    QTRY_COMPARE_WITH_TIMEOUT(peer.socket.bytesToWrite(), qint64(0), 5000);
    QCOMPARE(form.Winsock1[2]->State(), int(Winsock::sckConnected));

    // The device comes back under the same number: Open works again.
    PtyDevice back;
    m_config->pinPorts({{3, back.slavePath()}});
    openOn(3);
    QCOMPARE(UiColour::backColor(form.Text3), UiColour::Green);
    QCOMPARE(form.windowTitle(), QStringLiteral("COM Port # 3 is now open."));
    peer.received.clear();
    back.send("again");
    QTRY_COMPARE_WITH_TIMEOUT(peer.received, QByteArray("again"), 5000);
}

QTEST_MAIN(SerialBridgeTest)
#include "tst_serial_bridge.moc"
