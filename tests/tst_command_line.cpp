#include "app/command_line.h"

#include <QRegularExpression>
#include <QTest>

// The command line as the program reads it: every option --help lists is
// one the parser takes, --devices and what it rules out, and the checks
// that tie one option to another.
class CommandLineTest : public QObject
{
    Q_OBJECT

private slots:
    void helpListsEveryOptionOnce();
    void parses_data();
    void parses();
};

namespace {
CommandLine parse(const QStringList &arguments)
{
    return parseCommandLine(QStringList {QStringLiteral("quaylight")} + arguments);
}
} // namespace

// The options in --help's order, each once, and each accepted by the parser
// in the form --help shows (a value exactly where it names one).
void CommandLineTest::helpListsEveryOptionOnce()
{
    const CommandLine help = parse({QStringLiteral("--help")});
    QCOMPARE(help.action, CommandLine::Action::Help);
    const QRegularExpression line(QStringLiteral("^  (?:-\\w, )?--([a-z0-9-]+)( <[^>]+>)?"),
                                  QRegularExpression::MultilineOption);
    QStringList listed;
    for (const QRegularExpressionMatch &match : line.globalMatch(help.message)) {
        listed.append(match.captured(1));
        const bool flag = match.captured(2).isEmpty();
        const CommandLine given = parse(flag ? QStringList {u"--"_qs + match.captured(1)}
                                             : QStringList {u"--"_qs + match.captured(1), u"x"_qs});
        for (const char *refused : {"Unknown option", "Missing value", "Unexpected argument"})
            QVERIFY2(!given.message.startsWith(QLatin1String(refused)), qPrintable(given.message));
    }
    const QStringList expected = QStringLiteral(
        "help version headless devices open listen config-dir baud framing flow listen-address allow "
        "capture rfc2217 server-peers kick-oldest tls-cert tls-key tls-client-ca link link-device "
        "link-tls link-tls-ca metrics list-ports json metrics-tls announce").split(u' ');
    QCOMPARE(listed, expected);
    QVERIFY(help.message.contains(QStringLiteral("  -h, --help ")));
}

void CommandLineTest::parses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("error"); // the Error line; empty otherwise
    QTest::addColumn<QString>("devicesFile");
    QTest::addColumn<bool>("headless");
    const int Run = int(CommandLine::Action::Run), Error = int(CommandLine::Action::Error),
              Help = int(CommandLine::Action::Help), ListPorts = int(CommandLine::Action::ListPorts);
    const QString file = QStringLiteral("/etc/quaylight/devices.ini");
    QTest::newRow("devices") << QStringList {u"--devices"_qs, file} << Run << QString() << file << true;
    QTest::newRow("devices with what every device shares")
        << QStringList {u"--headless"_qs, u"--devices"_qs, file, u"--config-dir"_qs, u"/tmp"_qs,
                        u"--metrics"_qs, u"127.0.0.1:9471"_qs, u"--metrics-tls"_qs}
        << Run << QString() << file << true;
    QTest::newRow("devices without a file") << QStringList {u"--devices"_qs, QString()} << Error
                                            << u"--devices needs a file."_qs << QString() << false;
    // Each one device's setting, with a value it takes alone, before or after --devices.
    const QList<QStringList> perDevice = {
        {u"--open"_qs, u"3"_qs}, {u"--listen"_qs, u"8001"_qs}, {u"--listen-address"_qs, u"loopback"_qs},
        {u"--allow"_qs, u"10.0.0.0/8"_qs}, {u"--baud"_qs, u"9600"_qs}, {u"--framing"_qs, u"8N1"_qs},
        {u"--flow"_qs, u"none"_qs}, {u"--rfc2217"_qs}, {u"--server-peers"_qs, u"keep"_qs},
        {u"--kick-oldest"_qs}, {u"--capture"_qs, u"c.txt"_qs}, {u"--tls-cert"_qs, u"c.pem"_qs},
        {u"--tls-key"_qs, u"k.pem"_qs}, {u"--tls-client-ca"_qs, u"ca.pem"_qs},
        {u"--link"_qs, u"hub:8001"_qs, u"--link-device"_qs, u"/tmp/tty"_qs}, {u"--link-device"_qs, u"/tmp/tty"_qs},
        {u"--link-tls"_qs}, {u"--link-tls-ca"_qs, u"ca.pem"_qs}, {u"--announce"_qs}};
    for (qsizetype i = 0; i < perDevice.size(); ++i) {
        const QStringList devices {u"--devices"_qs, file};
        QTest::addRow("devices and %s", qPrintable(perDevice[i].constFirst()))
            << (i % 2 ? devices + perDevice[i] : perDevice[i] + devices) << Error
            << QStringLiteral("--devices and %1 cannot be combined: each device's settings are in the "
                              "devices file.").arg(perDevice[i].constFirst())
            << QString() << false;
    }
    // Checks that tie an option to another; the first mistake is the one said.
    const auto error = [Error](const char *name, const QStringList &arguments, const char *line) {
        QTest::newRow(name) << arguments << Error << QString::fromUtf8(line) << QString() << false;
    };
    error("positional", {u"3"_qs}, "Unexpected argument '3'.");
    error("capture without a file", {u"--capture"_qs, QString()}, "--capture needs a file.");
    error("tls key without a file", {u"--tls-key"_qs, QString()}, "--tls-key needs a file.");
    error("config dir without a folder", {u"--config-dir"_qs, QString()}, "--config-dir needs a folder.");
    error("json alone", {u"--json"_qs}, "--json goes with --list-ports.");
    error("link tls alone", {u"--link-tls"_qs}, "--link-tls and --link-tls-ca go with --link.");
    error("link device alone", {u"--link-device"_qs, u"p"_qs, u"--link-tls"_qs},
          "--link HOST:PORT and --link-device PATH go together.");
    error("link without a device", {u"--link"_qs, u"hub:1"_qs}, "--link HOST:PORT and --link-device PATH go together.");
    error("link and open", {u"--open"_qs, u"3"_qs, u"--link"_qs, u"hub:1"_qs, u"--link-device"_qs, u"p"_qs},
          "--link runs alone: no --open, --listen, --rfc2217 or --capture.");
    error("link without a port", {u"--link"_qs, u"[::1]"_qs, u"--link-device"_qs, u"p"_qs},
          "--link takes HOST:PORT with a port from 1 to 65535, not '[::1]'.");
    error("link tls ca empty", {u"--link"_qs, u"hub:1"_qs, u"--link-device"_qs, u"p"_qs, u"--link-tls-ca"_qs, QString()},
          "--link-tls-ca needs a file.");
    error("listen address twice", {u"--listen"_qs, u"[::1]:7000"_qs, u"--listen-address"_qs, u"any"_qs},
          "--listen ADDRESS:PORT and --listen-address both say where to listen: give one.");
    error("listen address", {u"--listen-address"_qs, u"nowhere"_qs, u"--allow"_qs, u"x"_qs},
          "The listen address \"nowhere\" is not any, loopback or an address.");
    error("allow", {u"--allow"_qs, u"10.0.0.0/8,x"_qs}, "Allowed peers: \"x\" is not an address or a range.");
    error("baud", {u"--baud"_qs, u"0"_qs}, "--baud takes a positive number of bit/s, not '0'.");
    error("flow", {u"--flow"_qs, u"hw"_qs}, "--flow takes none, rtscts or xonxoff, not 'hw'.");
    error("framing", {u"--framing"_qs, u"9N1"_qs},
          "--framing takes data bits 5-8, parity N/O/E/M/S and stop bits 1/1.5/2 (like 8N1), not '9N1'.");
    QTest::newRow("help before a bad value") << QStringList {u"--baud"_qs, u"x"_qs, u"--help"_qs} << Help
                                             << QString() << QString() << false;
    QTest::newRow("link runs headless")
        << QStringList {u"--link"_qs, u"[::1]:7000"_qs, u"--link-device"_qs, u"p"_qs, u"--link-tls-ca"_qs, u"ca.pem"_qs}
        << Run << QString() << QString() << true;
    QTest::newRow("list ports as json") << QStringList {u"--json"_qs, u"--list-ports"_qs} << ListPorts
                                        << QString() << QString() << false;
}

void CommandLineTest::parses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const CommandLine result = parse(arguments);
    QTEST(int(result.action), "action");
    if (result.action == CommandLine::Action::Help)
        return;
    QCOMPARE(result.message, error);
    if (result.action != CommandLine::Action::Error) {
        QTEST(result.devicesFile, "devicesFile");
        QTEST(result.headless, "headless");
    }
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"
