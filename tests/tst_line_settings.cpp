#include "platform/serial_comm.h"
#include "relay/line_settings.h"
#include "relay/relay_core.h"
#include "support/hub.h"

#include <QFile>
#include <QTest>

#include <termios.h>

namespace {
// The line as the pseudo-terminal's master sees it.
termios lineOf(const PtyDevice &device)
{
    termios t {};
    ::tcgetattr(device.masterFd(), &t);
    return t;
}

void writeTolvar(const TestConfig &config, const QByteArray &lineSection)
{
    QFile file(config.dir() + QStringLiteral("/Tolvar.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[line]\n" + lineSection);
}
} // namespace

// The serial line's settings: read from Tolvar.ini with a default for each
// key, applied at Open, and at once to an open port unless refused.
class LineSettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void storedSettingsApplyAtOpen_data();
    void storedSettingsApplyAtOpen();
    void openPortTakesOrRefusesAtOnce_data();
    void openPortTakesOrRefusesAtOnce();
};

void LineSettingsTest::storedSettingsApplyAtOpen_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("baudRate");     // BaudRate afterwards
    QTest::addColumn<int>("speed");        // termios speed of the opened line
    QTest::addColumn<QString>("settings"); // the component's Settings text
    QTest::addColumn<int>("flowControl");
    QTest::addColumn<bool>("complained");  // a malformed value was logged
    QTest::newRow("nothing stored: 19200 8N1") << QByteArray() << 19200 << int(B19200)
                                            << QStringLiteral("19200,N,8,1") << 0 << false;
    QTest::newRow("115200, XON/XOFF")
        << QByteArray("BaudRate=115200\nFlowControl=XonXoff\nDTR=true\n") << 115200
        << int(B115200) << QStringLiteral("115200,N,8,1") << 2 << false;
    QTest::newRow("malformed speed falls back alone")
        << QByteArray("BaudRate=fast\nFlowControl=RtsCts\n") << 19200 << int(B19200)
        << QStringLiteral("19200,N,8,1") << 1 << true;
    QTest::newRow("malformed framing falls back")
        << QByteArray("BaudRate=57600\nDataBits=9\nParity=Sometimes\nStopBits=3\n") << 57600
        << int(B57600) << QStringLiteral("57600,N,8,1") << 0 << true;
}

void LineSettingsTest::storedSettingsApplyAtOpen()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, baudRate);
    QFETCH(int, speed);
    QFETCH(QString, settings);
    QFETCH(int, flowControl);
    QFETCH(bool, complained);
    TestConfig config;
    writeTolvar(config, stored);
    PtyDevice device;
    config.pinPorts({{Hub::SerialPort, device.slavePath()}});
    if (complained)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("is not valid; using")));
    ScriptedMessageBoxes boxes;
    RelayCore core(boxes, config.dir());
    QCOMPARE(core.BaudRate, baudRate);

    core.ComPort = Hub::SerialPort;
    core.Command2_Click(0);
    QVERIFY(core.Com1->PortOpen());
    QCOMPARE(core.Com1->Settings(), settings);
    QCOMPARE(core.Com1->FlowControl(), flowControl);
    const termios line = lineOf(device);
    QCOMPARE(int(::cfgetospeed(&line)), speed);
    QCOMPARE(line.c_cflag & CSIZE, tcflag_t(CS8));
    QVERIFY(boxes.shown().isEmpty());
}

void LineSettingsTest::openPortTakesOrRefusesAtOnce_data()
{
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<QString>("refusal"); // the one message, empty when taken
    QTest::newRow("any speed is taken") << 230400 << 8 << QString();
    // A pseudo-terminal keeps 8 data bits.
    QTest::newRow("7 data bits are refused")
        << 230400 << 7
        << QStringLiteral("The serial port refused the data bits 7. It keeps its settings.");
}

void LineSettingsTest::openPortTakesOrRefusesAtOnce()
{
    QFETCH(int, baudRate);
    QFETCH(int, dataBits);
    QFETCH(QString, refusal);
    Hub hub;
    RelayCore &core = *hub.core;
    QVERIFY(hub.openSerial());
    const LineSettings before = core.lineSettings();

    LineSettings wanted = before;
    wanted.baudRate = baudRate;
    wanted.dataBits = dataBits;
    if (!refusal.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refused")));
    const bool taken = core.setLineSettings(wanted, true);
    QCOMPARE(taken, refusal.isEmpty());
    const termios line = lineOf(hub.device);
    const LineSettings stored = LineSettings::load(core.settings(), nullptr);
    if (taken) {
        QVERIFY(hub.boxes.shown().isEmpty());
        QCOMPARE(core.lineSettings(), wanted);
        QCOMPARE(core.BaudRate, baudRate);
        QCOMPARE(int(::cfgetospeed(&line)), int(B230400));
        QCOMPARE(stored, wanted);
    } else {
        // Nothing changes: not the port (even the speed taken before the
        // refused step goes back), not the settings, not the file.
        QCOMPARE(hub.boxes.texts(), QStringList {refusal});
        QCOMPARE(core.lineSettings(), before);
        QCOMPARE(int(::cfgetospeed(&line)), int(B19200));
        QCOMPARE(core.Com1->Settings(), before.commSettings());
        QCOMPARE(stored, LineSettings());
    }
}

QTEST_GUILESS_MAIN(LineSettingsTest)
#include "tst_line_settings.moc"
