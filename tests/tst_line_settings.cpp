#include "platform/serial_comm.h"
#include "platform/line_settings.h"
#include "platform/winsock.h"
#include "relay/relay_core.h"
#include "engine/settings_store.h"
#include "support/hub.h"

#include <QFile>
#include <QRegularExpression>
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
    void remotePeerSetsTheLine();
    void handWrittenValuesReadAsWritten_data();
    void handWrittenValuesReadAsWritten();
};

void LineSettingsTest::storedSettingsApplyAtOpen_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("settings"); // the component's Settings text
    QTest::addColumn<int>("flowControl");
    QTest::addColumn<int>("speed"); // termios speed of the opened line
    QTest::newRow("nothing stored: 19200 8N1") << QByteArray() << u"19200,N,8,1"_qs << 0 << int(B19200);
    QTest::newRow("115200, XON/XOFF") << QByteArray("BaudRate=115200\nFlowControl=XonXoff\n") << u"115200,N,8,1"_qs
                                      << 2 << int(B115200);
    QTest::newRow("malformed framing falls back")
        << QByteArray("BaudRate=57600\nDataBits=9\nParity=Sometimes\nStopBits=3\n") << u"57600,N,8,1"_qs << 0
        << int(B57600);
}

void LineSettingsTest::storedSettingsApplyAtOpen()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, speed);
    Hub hub;
    writeTolvar(hub.config, stored);
    if (stored.contains("=9"))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("is not valid; using")));
    hub.core = std::make_unique<RelayCore>(hub.boxes, hub.config.dir()); // reads them at start
    QVERIFY(hub.openSerial());
    QTEST(hub.core->Com1->Settings(), "settings");
    QTEST(hub.core->Com1->FlowControl(), "flowControl");
    const termios line = lineOf(hub.device);
    QCOMPARE(int(::cfgetospeed(&line)), speed);
    QVERIFY(hub.boxes.shown().isEmpty());
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
    // A refusal changes nothing: not the port (even the speed taken before the
    // refused step goes back), not the settings, not the file.
    const LineSettings expected = taken ? wanted : before;
    const termios line = lineOf(hub.device);
    QCOMPARE(int(::cfgetospeed(&line)), int(taken ? B230400 : B19200));
    QCOMPARE(core.lineSettings(), expected);
    QCOMPARE(core.Com1->Settings(), expected.commSettings());
    QCOMPARE(core.hubSettings().line(nullptr), taken ? wanted : LineSettings());
    QCOMPARE(hub.boxes.texts(), taken ? QStringList() : QStringList {refusal});
}

// The TCP/IP Server's peer speaking RFC 2217: its data reaches the device
// with IAC undoubled and Telnet commands taken out; each request is answered
// with the value in effect (a pty keeps 8 data bits); device data goes back
// with IAC doubled.
void LineSettingsTest::remotePeerSetsTheLine()
{
    Hub hub;
    RelayCore &core = *hub.core;
    NetworkSettings network = core.networkSettings();
    network.rfc2217 = true;
    QVERIFY(core.setNetworkSettings(network, false));
    QVERIFY(hub.openSerial());
    auto peer = hub.connectToListener(2);
    QVERIFY(peer);
    const auto sub = [](const char *hex) { return QByteArray::fromHex(QByteArray("fffa2c") + hex + "fff0"); };
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refused data bits 7")));
    peer->send("ab" + QByteArray::fromHex("fffffff1") + "c" + sub("0207") + sub("010000e100"));
    QTRY_COMPARE(hub.device.received(), QByteArray("ab\xff" "c"));
    QTRY_VERIFY(peer->received.contains(sub("6608") + sub("650000e100")));
    const termios line = lineOf(hub.device);
    QCOMPARE(int(::cfgetospeed(&line)), int(B57600));
    QCOMPARE(core.lineSettings().baudRate, 57600);
    hub.device.send("\xff" "d");
    QTRY_VERIFY(peer->received.endsWith("\xff\xff" "d"));
    // It leaves: once the hub lets its socket go, the operator's line is back.
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("RFC 2217 peer left")));
    peer->socket->disconnectFromHost();
    QTRY_COMPARE(core.Winsock1[2]->State(), int(Winsock::sckClosing));
    core.Timer1_Timer();
    const termios after = lineOf(hub.device);
    QCOMPARE(int(::cfgetospeed(&after)), int(B19200));
    QCOMPARE(core.lineSettings(), LineSettings());
}

void LineSettingsTest::handWrittenValuesReadAsWritten_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("read"); // "fallback" when it cannot be read
    QTest::newRow("unquoted comma") << QByteArray("a, b") << u"a, b"_qs;
    QTest::newRow("quoted") << QByteArray("\"a, b\"") << u"a, b"_qs;
    QTest::newRow("spaces") << QByteArray("  a  ") << u"a"_qs;
    QTest::newRow("trailing comma") << QByteArray("a,") << u"a, "_qs;
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("@Variant junk") << QByteArray("@Variant(junk)") << u"fallback"_qs;
    QTest::newRow("@ByteArray") << QByteArray("@ByteArray(zz)") << u"fallback"_qs;
}

void LineSettingsTest::handWrittenValuesReadAsWritten()
{
    QFETCH(QByteArray, written);
    QFETCH(QString, read);
    TestConfig config;
    QFile file(config.dir() + QStringLiteral("/Tolvar.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[view]\nKey=" + written + '\n') > 0);
    file.close();
    if (read == u"fallback"_qs)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"Tolvar.ini \\[view\\] Key cannot be read; using \"fallback\""_qs));
    QCOMPARE(SettingsStore(config.dir()).read(u"Tolvar"_qs, u"view"_qs, u"Key"_qs, u"fallback"_qs), read);
}

QTEST_GUILESS_MAIN(LineSettingsTest)
#include "tst_line_settings.moc"
