#include "app/command_line.h"

#include "platform/line_settings.h"
#include "engine/network_settings.h"
#include "monitor/metrics_server.h"

#include <utility>

#include <QCommandLineParser>

namespace {
const QString ProgramName = QStringLiteral("quaylight");
} // namespace

QString versionLine()
{
    return ProgramName + QLatin1Char(' ') + QStringLiteral(QUAYLIGHT_VERSION);
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Relays raw bytes between TCP connections and a serial port."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption headless(
        QStringLiteral("headless"),
        QStringLiteral("Run the relay without a window; events are written to stderr."));
    const QCommandLineOption open(QStringLiteral("open"),
                                  QStringLiteral("Open serial port number <N> (1-64) at start."),
                                  QStringLiteral("N"));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Let the TCP/IP Server listen on <PORT> (0-65535) at start."),
        QStringLiteral("PORT"));
    const QCommandLineOption configDir(
        QStringLiteral("config-dir"),
        QStringLiteral("Folder of the settings files and ports.ini "
                       "(default: $XDG_CONFIG_HOME/quaylight)."),
        QStringLiteral("DIR"));
    const QCommandLineOption baud(QStringLiteral("baud"),
                                  QStringLiteral("Serial line speed <N> bit/s for this run."),
                                  QStringLiteral("N"));
    const QCommandLineOption framing(
        QStringLiteral("framing"),
        QStringLiteral("Data bits, parity (N, O, E, M, S) and stop bits (1, 1.5, 2) for this "
                       "run, e.g. 8N1."),
        QStringLiteral("FRAMING"));
    const QCommandLineOption flow(QStringLiteral("flow"),
                                  QStringLiteral("Flow control for this run: none, rtscts or "
                                                 "xonxoff."),
                                  QStringLiteral("MODE"));
    const QCommandLineOption listenAddress(
        QStringLiteral("listen-address"),
        QStringLiteral("Where both servers listen: any (IPv4 and IPv6), loopback, or one "
                       "address of this host."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption allow(
        QStringLiteral("allow"),
        QStringLiteral("Peers allowed to connect: addresses and CIDR ranges, comma-separated "
                       "(empty: everyone)."),
        QStringLiteral("LIST"));
    const QCommandLineOption capture(
        QStringLiteral("capture"),
        QStringLiteral("Write every relayed chunk to <FILE> as a hex dump (stops at 100 MiB)."),
        QStringLiteral("FILE"));
    const QCommandLineOption rfc2217(
        QStringLiteral("rfc2217"),
        QStringLiteral("The TCP/IP Server speaks RFC 2217: its peer may set the serial line."));
    const QCommandLineOption tlsCert(
        QStringLiteral("tls-cert"),
        QStringLiteral("Both servers speak TLS only, with this PEM certificate (and chain)."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"),
                                    QStringLiteral("The PEM private key of --tls-cert."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption tlsClientCa(
        QStringLiteral("tls-client-ca"),
        QStringLiteral("Only clients with a certificate signed by this PEM CA may connect."),
        QStringLiteral("FILE"));

    const QCommandLineOption metrics(
        QStringLiteral("metrics"),
        QStringLiteral("Serve /metrics (Prometheus) and /status (JSON) over HTTP on "
                       "<ADDRESS:PORT>, e.g. 127.0.0.1:9471 or [::1]:9471."),
        QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption listPorts(
        QStringLiteral("list-ports"),
        QStringLiteral("Print the serial port table (number, device, identity, present, locked) "
                       "and exit; opens no port."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --list-ports: print JSON."));
    parser.addOptions({help, version, headless, open, listen, configDir, baud, framing, flow,
                       listenAddress, allow, capture, rfc2217});
    parser.addOptions({tlsCert, tlsKey, tlsClientCa, metrics, listPorts, json});

    CommandLine result;
    const auto fail = [&result](const QString &line) {
        result.action = CommandLine::Action::Error;
        result.message = line;
        return result;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("Unexpected argument '%1'.")
                        .arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(help)) {
        result.action = CommandLine::Action::Help;
        // No application object exists yet to name the program.
        result.message = parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                   ProgramName);
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CommandLine::Action::Version;
        result.message = versionLine();
        return result;
    }
    result.headless = parser.isSet(headless);
    if (parser.isSet(open)) {
        bool ok = false;
        result.openPort = parser.value(open).toInt(&ok);
        if (!ok || result.openPort < 1 || result.openPort > 64)
            return fail(QStringLiteral("--open takes a port number from 1 to 64, not '%1'.")
                            .arg(parser.value(open)));
    }
    if (parser.isSet(listen)) {
        const QString text = parser.value(listen);
        bool ok = false;
        const uint port = text.toUInt(&ok);
        if (!ok || port > 65535 || text.startsWith(QLatin1Char('+')))
            return fail(QStringLiteral("--listen takes a TCP port from 0 to 65535, not '%1'.")
                            .arg(text));
        result.listenPort = QString::number(port);
    }
    if (parser.isSet(baud)) {
        bool ok = false;
        result.baudRate = parser.value(baud).toInt(&ok);
        if (!ok || result.baudRate <= 0)
            return fail(QStringLiteral("--baud takes a positive number of bit/s, not '%1'.")
                            .arg(parser.value(baud)));
    }
    if (parser.isSet(framing)) {
        LineSettings line;
        if (!line.setFraming(parser.value(framing)))
            return fail(QStringLiteral("--framing takes data bits 5-8, parity N/O/E/M/S and "
                                       "stop bits 1/1.5/2 (like 8N1), not '%1'.")
                            .arg(parser.value(framing)));
        result.framing = parser.value(framing);
    }
    if (parser.isSet(flow)) {
        const QString mode = parser.value(flow).toLower();
        if (mode != QLatin1String("none") && mode != QLatin1String("rtscts")
            && mode != QLatin1String("xonxoff"))
            return fail(QStringLiteral("--flow takes none, rtscts or xonxoff, not '%1'.")
                            .arg(parser.value(flow)));
        result.flowControl = mode;
    }
    if (parser.isSet(listenAddress) || parser.isSet(allow)) {
        NetworkSettings network;
        if (parser.isSet(listenAddress))
            network.listenAddress = parser.value(listenAddress);
        network.allowedPeers = parser.value(allow);
        if (const QString problem = network.problem(); !problem.isEmpty())
            return fail(problem);
        result.listenAddress = parser.isSet(listenAddress) ? network.listenAddress : QString();
        result.allowedPeers = network.allowedPeers;
        result.allowGiven = parser.isSet(allow);
    }
    result.rfc2217 = parser.isSet(rfc2217);
    if (parser.isSet(capture)) {
        result.captureFile = parser.value(capture);
        if (result.captureFile.isEmpty())
            return fail(QStringLiteral("--capture needs a file."));
    }
    for (const auto &[option, target] : {std::pair {&tlsCert, &result.tlsCertificate},
                                         std::pair {&tlsKey, &result.tlsKey},
                                         std::pair {&tlsClientCa, &result.tlsClientCa}}) {
        if (!parser.isSet(*option))
            continue;
        *target = parser.value(*option);
        if (target->isEmpty())
            return fail(QStringLiteral("--%1 needs a file.").arg(option->names().constFirst()));
    }
    if (parser.isSet(configDir)) {
        result.configDir = parser.value(configDir);
        if (result.configDir.isEmpty())
            return fail(QStringLiteral("--config-dir needs a folder."));
    }
    if (parser.isSet(metrics)) {
        QHostAddress address;
        quint16 port = 0;
        if (!MetricsServer::parseAddress(parser.value(metrics), &address, &port))
            return fail(QStringLiteral("--metrics takes ADDRESS:PORT (like 127.0.0.1:9471 or "
                                       "[::1]:9471), not '%1'.")
                            .arg(parser.value(metrics)));
        result.metrics = parser.value(metrics);
    }
    result.json = parser.isSet(json);
    if (parser.isSet(listPorts))
        result.action = CommandLine::Action::ListPorts;
    else if (result.json)
        return fail(QStringLiteral("--json goes with --list-ports."));
    return result;
}
