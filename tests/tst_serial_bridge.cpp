// The serial bridge of the relay core: finding and choosing the port,
// opening and closing it, a device that vanishes, and what the device sends
// reaching the socket endpoints, over a pseudo-terminal pinned as port 4.

#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {

const QString InvalidPort = QStringLiteral("Invalid COM port. Would you like to search for available ports?");

// Bytes with NULs whose period (251) does not divide the 1024-byte reads, so
// chunks that swap places show up as a difference.
QByteArray pattern(int size, int offset)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i + offset) % 251);
    return bytes;
}

} // namespace

class SerialBridgeTest : public QObject
{
    Q_OBJECT

private slots:
    void scanAndSelect();
    void openCloseAndScanWhileOpen();
    void openWithoutAPort();
    void vanishedDevice_data();
    void vanishedDevice();
    void nestedReceiveKeepsOrder();
    void peerArrivingDuringReceiveGetsTheChunk();
};

void SerialBridgeTest::scanAndSelect()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    hub.config.pinPorts({});
    core.Command4_Click();
    QCOMPARE(hub.boxes.texts(), QStringList {QStringLiteral("No COM Port Found")});
    QVERIFY(core.List3->rows().isEmpty());
    hub.boxes.clear();

    hub.config.pinPorts({{TestHub::SerialPort, hub.device.slavePath()}});
    core.Command4_Click();
    QVERIFY(hub.boxes.texts().isEmpty());
    QCOMPARE(core.List3->rows(), QStringList {QStringLiteral("4")});
    QVERIFY(core.List4->isVisible());

    core.List3->setCurrentRow(0);
    core.List3_Click();
    QCOMPARE(core.ComPort, qint16(4));
    QCOMPARE(core.Text3->text(), QStringLiteral("4"));
    QCOMPARE(hub.boxes.texts(), QStringList {QStringLiteral("Set to COM 4")});
    QVERIFY(!core.List4->isVisible());
}

// Open shows green on black; Close, and a scan that closes the open port
// first, show white behind it and say it is closed.
void SerialBridgeTest::openCloseAndScanWhileOpen()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    for (bool byScan : {false, true}) {
        QVERIFY(hub.openSerial());
        QCOMPARE(core.Caption(), QStringLiteral("COM Port # 4 is now open."));
        QCOMPARE(core.Text3->backColor(), UiColour::Green);
        QCOMPARE(core.Text3->foreColor(), UiColour::Black);
        QCOMPARE(core.Com1->InputLen(), 1024); // the size of a read chunk
        byScan ? core.Command4_Click() : core.Command2_Click(1);
        QVERIFY(!core.Com1->PortOpen());
        QCOMPARE(core.Caption(), QStringLiteral("COM Port is Closed."));
        QCOMPARE(core.Text3->backColor(), UiColour::White);
    }
    QCOMPARE(core.List3->rows(), QStringList {QStringLiteral("4")}); // listed like any other
    QVERIFY(hub.boxes.texts().isEmpty());
}

// Open without a usable port: a box says why; on "Yes" the scan runs.
void SerialBridgeTest::openWithoutAPort()
{
    TestHub hub;
    hub.core->Command2_Click(0);
    QCOMPARE(hub.boxes.texts(), QStringList {QStringLiteral("No COM port selected. Try \"Find COM Port\" utility")});
    hub.boxes.clear();
    hub.boxes.answerNext(MessageBoxes::Answer::Yes);
    hub.core->ComPort = 7;
    hub.core->Command2_Click(0);
    QCOMPARE(hub.boxes.texts(), (QStringList {InvalidPort, QStringLiteral("Error opening COM port")}));
    QCOMPARE(hub.boxes.shown().at(0).buttons, MessageBoxes::Buttons::YesNo);
    QCOMPARE(hub.core->List3->rows(), QStringList {QStringLiteral("4")});
    QVERIFY(!hub.core->Com1->PortOpen());
}

void SerialBridgeTest::vanishedDevice_data()
{
    QTest::addColumn<bool>("headless");
    QTest::newRow("window") << false;
    QTest::newRow("headless") << true;
}

// No box: the operator may be away; the red field and the caption stay. In
// the window they stay until the operator opens the port again; headless,
// the tick opens it again once its device file is back, not before.
void SerialBridgeTest::vanishedDevice()
{
    QFETCH(bool, headless);
    TestHub hub;
    const QString link = hub.config.dir() + QStringLiteral("/device");
    QVERIFY(QFile::link(hub.device.slavePath(), link));
    hub.config.pinPorts({{TestHub::SerialPort, link}});
    hub.core->setHeadless(headless);
    QVERIFY(hub.openSerial());
    const auto peer = hub.connectToListener(2);
    QVERIFY(peer);
    hub.core->Timer1->stop();
    hub.device.vanish();
    QTRY_COMPARE(hub.core->Caption(), QStringLiteral("COM Port # 4 was lost."));
    QCOMPARE(hub.core->engine().snapshot().deviceLosses, 1U);
    QVERIFY(!hub.core->Com1->PortOpen());
    QCOMPARE(hub.core->Text3->backColor(), UiColour::Red);
    QCOMPARE(hub.core->Text3->foreColor(), UiColour::White);
    QVERIFY(hub.boxes.texts().isEmpty());

    QVERIFY(QFile::remove(link));
    hub.core->Timer1_Timer();
    QVERIFY(!hub.core->Com1->PortOpen());
    PtyDevice back;
    QVERIFY(QFile::link(back.slavePath(), link));
    hub.core->Timer1_Timer();
    QCOMPARE(hub.core->Com1->PortOpen(), headless);
    QCOMPARE(hub.core->Text3->backColor(), headless ? UiColour::Green : UiColour::Red);
    if (headless) {
        peer->send("query");
        QTRY_COMPARE(back.received(), QByteArray("query"));
        back.send("answer");
        QTRY_COMPARE(peer->received, QByteArray("answer"));
    }
}

// A receive event that runs inside the relay's pass of the event queue only
// queues its chunk; the outer one relays it after its own, so the second
// server (served after the pass) still gets the bytes in the device's order.
void SerialBridgeTest::nestedReceiveKeepsOrder()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    const auto second = hub.connectToListener(2);
    QVERIFY(second);
    QVERIFY(hub.openSerial());

    int depth = 0;
    bool nestedWithData = false;
    QObject::disconnect(core.Com1, &SerialComm::OnComm, &core, nullptr);
    connect(core.Com1, &SerialComm::OnComm, &core, [&] {
        ++depth;
        nestedWithData = nestedWithData || (depth > 1 && core.Com1->InBufferCount() > 0);
        for (int nested = 0; depth == 1 && nested < 2 && core.Com1->InBufferCount() > 1024; ++nested)
            QTimer::singleShot(0, core.Com1, [&] { emit core.Com1->OnComm(); }); // two queue up in one pass
        core.Com1_OnComm();
        --depth;
    });
    const QByteArray burst = pattern(64 * 1024, 7);
    hub.device.send(burst);
    QTRY_COMPARE_WITH_TIMEOUT(second->received.size(), burst.size(), 20000);
    QVERIFY2(nestedWithData, "no receive event with data ran nested");
    QVERIFY(second->received == burst);
}

// A peer that connects to the TCP/IP Server just as the device's bytes are
// relayed is taken in the relay's passes of the event queue and gets them.
void SerialBridgeTest::peerArrivingDuringReceiveGetsTheChunk()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    core.Text4[0]->setText(QStringLiteral("0"));
    core.Command5_Click(0);
    QVERIFY(hub.openSerial());
    QTcpSocket peer;
    QObject::disconnect(core.Com1, &SerialComm::OnComm, &core, nullptr);
    connect(core.Com1, &SerialComm::OnComm, &core, [&] {
        if (peer.state() == QAbstractSocket::UnconnectedState) { // the hub has not seen it yet
            peer.connectToHost(QHostAddress::LocalHost, quint16(core.Winsock1[2]->LocalPort()));
            QVERIFY(peer.waitForConnected(5000));
        }
        core.Com1_OnComm();
    });
    hub.device.send("first bytes");
    QByteArray got;
    QTRY_COMPARE(got += peer.readAll(), QByteArray("first bytes"));
}

QTEST_GUILESS_MAIN(SerialBridgeTest)
#include "tst_serial_bridge.moc"
