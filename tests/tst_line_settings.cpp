#include "platform/serial_comm.h"
#include "platform/line_settings.h"
#include "platform/winsock.h"
#include "relay/relay_core.h"
#include "engine/hub_settings.h"
#include "engine/settings_store.h"
#include "support/hub.h"

#include <functional>

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
    void everyFlagReadsTheSameWords_data();
    void everyFlagReadsTheSameWords();
    void unknownSectionsAndKeysAreNamed_data();
    void unknownSectionsAndKeysAreNamed();
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
    TestHub hub;
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
    TestHub hub;
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
    TestHub hub;
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
    QTest::newRow("unquoted comma, no space") << QByteArray("10.0.0.1,10.0.0.2") << u"10.0.0.1,10.0.0.2"_qs;
    QTest::newRow("unquoted comma, comment") << QByteArray("a,b ; note") << u"a,b"_qs;
    QTest::newRow("quoted") << QByteArray("\"a, b\"") << u"a, b"_qs;
    QTest::newRow("spaces") << QByteArray("  a  ") << u"a"_qs;
    QTest::newRow("trailing comma") << QByteArray("a,") << u"a,"_qs;
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

namespace {
// Every flag of every settings file, read as the hub reads it: the value and
// the complaints its reading (or the start's check) adds.
using FlagReader = std::function<bool(const HubSettings &, QStringList *)>;
struct Flag {
    const char *file, *section, *key;
    bool otherwise; // what a value that is no flag reads as
    FlagReader read;
};
const Flag Flags[] = {
    {"Harborcast", "network", "Rfc2217", false, [](auto &s, auto *c) { return s.network(c).rfc2217; }},
    {"Harborcast", "network", "ServerPeersKickOldest", false, [](auto &s, auto *c) { return s.network(c).kickOldest; }},
    {"Harborcast", "tls", "Enabled", true, [](auto &s, auto *c) { return s.tls(c).enabled; }},
    {"Harborcast", "tls", "Forwarder1", true, [](auto &s, auto *c) { return s.tls(c).forwarder1; }},
    {"Harborcast", "tls", "Forwarder3", true, [](auto &s, auto *c) { return s.tls(c).forwarder3; }},
    {"Harborcast", "session", "Restore", false, [](auto &s, auto *) { return s.restoresSession(); }},
    {"Harborcast", "session", "Server2", false, [](auto &s, auto *) { return s.session().server2; }},
    {"Harborcast", "session", "Forwarder1", false, [](auto &s, auto *) { return s.session().forwarder1; }},
    {"Harborcast", "session", "Forwarder3", false, [](auto &s, auto *) { return s.session().forwarder3; }},
    {"Harborcast", "view", "AllEndpoints", false, [](auto &s, auto *) { return s.allEndpoints(); }},
    {"Harborcast", "monitor", "MetricsTls", true, [](auto &s, auto *) { return s.metricsTls(); }},
    {"Tolvar", "line", "DTR", false, [](auto &s, auto *c) { return s.line(c).dtr; }},
    {"Tolvar", "line", "RTS", false, [](auto &s, auto *c) { return s.line(c).rts; }},
};

void writeIni(const TestConfig &config, const QString &file, const QByteArray &text)
{
    QFile ini(config.dir() + QLatin1Char('/') + file + QStringLiteral(".ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate) && ini.write(text) == text.size());
}
} // namespace

void LineSettingsTest::everyFlagReadsTheSameWords_data()
{
    QTest::addColumn<int>("flag");     // index into Flags
    QTest::addColumn<QString>("written");
    QTest::addColumn<int>("expected"); // 0, 1, or -1: no flag, so the safe side and one complaint
    for (int i = 0; i < int(std::size(Flags)); ++i) {
        for (const auto &[written, expected] : {std::pair {"yes", 1}, {"OFF", 0}, {" 1 ", 1}, {"No", 0},
                                               {"flase", -1}, {"yes, please", -1}}) {
            QTest::addRow("%s [%s] %s=%s", Flags[i].file, Flags[i].section, Flags[i].key, written)
                << i << QString::fromLatin1(written) << expected;
        }
    }
}

// true/false, yes/no, on/off and 1/0 in any case, in every file; anything
// else is named once (file, section, key, what is used) and read as the
// safe side: TLS on, everything else off.
void LineSettingsTest::everyFlagReadsTheSameWords()
{
    QFETCH(int, flag);
    QFETCH(QString, written);
    QFETCH(int, expected);
    const Flag &f = Flags[flag];
    TestConfig config;
    writeIni(config, QLatin1String(f.file),
             QStringLiteral("[%1]\n%2=%3\n").arg(QLatin1String(f.section), QLatin1String(f.key), written).toUtf8());
    const HubSettings settings(config.dir());
    QStringList complaints;
    const bool read = f.read(settings, &complaints);
    complaints += settings.problems();
    QCOMPARE(read, expected < 0 ? f.otherwise : expected == 1);
    const QString named = QStringLiteral("%1.ini [%2] %3=%4 is not true/false, yes/no, on/off or 1/0; using %5")
                              .arg(QLatin1String(f.file), QLatin1String(f.section), QLatin1String(f.key), written,
                                   f.otherwise ? u"true"_qs : u"false"_qs);
    QCOMPARE(complaints, expected < 0 ? QStringList {named} : QStringList());
}

void LineSettingsTest::unknownSectionsAndKeysAreNamed_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("named");
    QTest::newRow("every key known") << u"Harborcast"_qs
        << QByteArray("[startup]\nLocalPort2=7000\nRemoteHost3=h\n[network]\nListenAddress=any\n[monitor]\nMetrics=\n")
        << QStringList();
    QTest::newRow("section typo") << u"Harborcast"_qs << QByteArray("[netwrok]\nListenAddress=any\n")
        << QStringList {u"Harborcast.ini [netwrok] ListenAddress is not a setting (no such section); ignored"_qs};
    QTest::newRow("key typo") << u"Harborcast"_qs << QByteArray("[network]\nRfc2271=true\n")
        << QStringList {u"Harborcast.ini [network] Rfc2271 is not a setting; ignored"_qs};
    QTest::newRow("case differs") << u"Tolvar"_qs << QByteArray("[line]\ndtr=true\n")
        << QStringList {u"Tolvar.ini [line] dtr is not a setting; ignored (did you mean [line] DTR?)"_qs};
    QTest::newRow("before any section") << u"Tolvar"_qs << QByteArray("BaudRate=9600\n[line]\n")
        << QStringList {u"Tolvar.ini [General] BaudRate is not a setting (no such section); ignored"_qs};
}

void LineSettingsTest::unknownSectionsAndKeysAreNamed()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, text);
    TestConfig config;
    writeIni(config, file, text);
    QTEST(HubSettings(config.dir()).problems(), "named");
}

QTEST_GUILESS_MAIN(LineSettingsTest)
#include "tst_line_settings.moc"
