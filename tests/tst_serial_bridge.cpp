// The serial bridge of the relay core: finding and choosing the port,
// opening and closing it, a device that vanishes, and what the device sends
// reaching the socket endpoints, over a pseudo-terminal pinned as port 4.

#include "platform/serial_comm.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"

#include <QTcpServer>
#include <QTest>
#include <QTimer>

namespace {

const QString InvalidPort =
    QStringLiteral("Invalid COM port. Would you like to search for available ports?");

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
    void openWithoutAPort_data();
    void openWithoutAPort();
    void vanishedDevice();
    void receiveGoesToAllButTheDataHost();
    void nestedReceiveKeepsOrder();
};

void SerialBridgeTest::scanAndSelect()
{
    Hub hub;
    RelayCore &core = *hub.core;
    hub.config.pinPorts({});
    core.Command4_Click();
    QCOMPARE(hub.boxes.texts(), QStringList {QStringLiteral("No COM Port Found")});
    QVERIFY(core.List3->rows().isEmpty());
    hub.boxes.clear();

    hub.config.pinPorts({{Hub::SerialPort, hub.device.slavePath()}});
    core.Command4_Click();
    QVERIFY(hub.boxes.texts().isEmpty());
    QCOMPARE(core.List3->rows(), QStringList {QStringLiteral("4")});
    QCOMPARE(core.List4->rows(), QStringList {QStringLiteral("Click the port number to select")});
    QVERIFY(core.List4->isVisible());

    core.List3->setCurrentRow(0);
    core.List3_Click();
    QCOMPARE(core.ComPort, qint16(4));
    QCOMPARE(core.Text3->text(), QStringLiteral("4"));
    QCOMPARE(core.settings().read(QStringLiteral("Tolvar"), QStringLiteral("startup"),
                                  QStringLiteral("ComPort"), QString()),
             QStringLiteral("4"));
    QCOMPARE(hub.boxes.texts(), QStringList {QStringLiteral("Set to COM 4")});
    QVERIFY(!core.List4->isVisible());
}

// Open shows green on black; Close, and a scan that closes the open port
// first, show white behind it and say it is closed.
void SerialBridgeTest::openCloseAndScanWhileOpen()
{
    Hub hub;
    RelayCore &core = *hub.core;
    for (bool byScan : {false, true}) {
        QVERIFY(hub.openSerial());
        QCOMPARE(core.Caption(), QStringLiteral("COM Port # 4 is now open."));
        QCOMPARE(core.Text3->backColor(), UiColour::Green);
        QCOMPARE(core.Text3->foreColor(), UiColour::Black);
        byScan ? core.Command4_Click() : core.Command2_Click(1);
        QVERIFY(!core.Com1->PortOpen());
        QCOMPARE(core.Caption(), QStringLiteral("COM Port is Closed."));
        QCOMPARE(core.Text3->backColor(), UiColour::White);
    }
    QCOMPARE(core.List3->rows(), QStringList {QStringLiteral("4")}); // listed like any other
    QVERIFY(hub.boxes.texts().isEmpty());
}

void SerialBridgeTest::openWithoutAPort_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("searchAnswer");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QStringList>("rows");
    const QString error = QStringLiteral("Error opening COM port");
    QTest::newRow("none selected") << 0 << false
                                   << QStringList {QStringLiteral(
                                          "No COM port selected. Try \"Find COM Port\" utility")}
                                   << QStringList();
    QTest::newRow("absent, no search") << 7 << false << QStringList {InvalidPort, error} << QStringList();
    QTest::newRow("absent, search") << 7 << true << QStringList {InvalidPort, error}
                                    << QStringList {QStringLiteral("4")};
}

void SerialBridgeTest::openWithoutAPort()
{
    QFETCH(int, port);
    QFETCH(bool, searchAnswer);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, rows);
    Hub hub;
    hub.boxes.answerNext(searchAnswer ? MessageBoxes::Answer::Yes : MessageBoxes::Answer::No);
    hub.core->ComPort = qint16(port);
    hub.core->Command2_Click(0);
    QCOMPARE(hub.boxes.texts(), boxes);
    if (boxes.size() > 1)
        QCOMPARE(hub.boxes.shown().at(0).buttons, MessageBoxes::Buttons::YesNo);
    QCOMPARE(hub.core->List3->rows(), rows);
    QVERIFY(!hub.core->Com1->PortOpen());
}

// No box: the operator may be away; the red field and the caption stay.
void SerialBridgeTest::vanishedDevice()
{
    Hub hub;
    QVERIFY(hub.openSerial());
    hub.device.vanish();
    QTRY_COMPARE(hub.core->Caption(), QStringLiteral("COM Port # 4 was lost."));
    QVERIFY(!hub.core->Com1->PortOpen());
    QCOMPARE(hub.core->Text3->backColor(), UiColour::Red);
    QCOMPARE(hub.core->Text3->foreColor(), UiColour::White);
    QVERIFY(hub.boxes.texts().isEmpty());
}

// The device's bytes reach 0, 1 and 2. A marker from the gateway follows;
// once the data host has it, any serial copy would have come before it.
void SerialBridgeTest::receiveGoesToAllButTheDataHost()
{
    Hub hub;
    QTcpServer software, dataHost;
    const auto gateway = hub.connectToListener(0);
    const auto second = hub.connectToListener(2);
    const auto upstream1 = hub.connectForwarder(1, software);
    const auto upstream3 = hub.connectForwarder(3, dataHost);
    QVERIFY(gateway && second && upstream1 && upstream3);
    QVERIFY(hub.openSerial());

    const QByteArray chunk("from the device\0\xff", 17);
    hub.device.send(chunk);
    for (Peer *peer : {gateway.get(), upstream1.get(), second.get()})
        QTRY_COMPARE(peer->received, chunk);
    gateway->send("marker");
    QTRY_COMPARE(upstream3->received, QByteArray("marker"));
}

// A receive event that runs inside the relay's pass of the event queue only
// queues its chunk; the outer one relays it after its own, so the second
// server (served after the pass) still gets the bytes in the device's order.
void SerialBridgeTest::nestedReceiveKeepsOrder()
{
    Hub hub;
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
        if (depth == 1 && core.Com1->InBufferCount() > 1024) // more than one read takes
            QTimer::singleShot(0, core.Com1, [&] { emit core.Com1->OnComm(); });
        core.Com1_OnComm();
        --depth;
    });
    const QByteArray burst = pattern(64 * 1024, 7);
    hub.device.send(burst);
    QTRY_COMPARE_WITH_TIMEOUT(second->received.size(), burst.size(), 20000);
    QVERIFY2(nestedWithData, "no receive event with data ran nested");
    QVERIFY(second->received == burst);
}

QTEST_GUILESS_MAIN(SerialBridgeTest)
#include "tst_serial_bridge.moc"
