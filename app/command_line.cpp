#include "app/command_line.h"

#include "platform/line_settings.h"
#include "engine/network_settings.h"
#include "monitor/metrics_server.h"
#include "platform/host_port.h"

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
    const QCommandLineOption open(
        QStringLiteral("open"),
        QStringLiteral("Open serial port number <N> (1-64), or the device file <PATH>, at start."),
        QStringLiteral("N|PATH"));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Let the TCP/IP Server listen on <PORT> (0-65535) at start, or on "
                       "<ADDRESS:PORT> (like localhost:7000 or [::1]:7000)."),
        QStringLiteral("[ADDRESS:]PORT"));
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
    const QCommandLineOption serverPeers(
        QStringLiteral("server-peers"),
        QStringLiteral("Peers the TCP/IP Server serves at once: 1 (stops listening while its "
                       "peer is there), keep (one, listening goes on), or 2-64."),
        QStringLiteral("N|keep"));
    const QCommandLineOption kickOldest(
        QStringLiteral("kick-oldest"),
        QStringLiteral("A peer over the --server-peers limit closes the oldest one instead of "
                       "being refused."));
    parser.addOptions({help, version, headless, open, listen, configDir, baud, framing, flow,
                       listenAddress, allow, capture, rfc2217, serverPeers, kickOldest});
    const QCommandLineOption link(
        QStringLiteral("link"),
        QStringLiteral("Run as a link: make the serial port of the RFC 2217 server at "
                       "<HOST:PORT> a local device (needs --link-device; no window)."),
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption linkDevice(
        QStringLiteral("link-device"),
        QStringLiteral("Where the link's device appears: a symbolic link <PATH> to its "
                       "pseudo-terminal."),
        QStringLiteral("PATH"));
    const QCommandLineOption linkTls(
        QStringLiteral("link-tls"),
        QStringLiteral("The link connects with TLS (the hub verified against the system's CAs; "
                       "--tls-cert and --tls-key are its client certificate)."));
    const QCommandLineOption linkTlsCa(QStringLiteral("link-tls-ca"),
                                       QStringLiteral("The link trusts only this PEM CA (implies "
                                                      "--link-tls)."),
                                       QStringLiteral("FILE"));
    parser.addOptions({tlsCert, tlsKey, tlsClientCa, link, linkDevice, linkTls, linkTlsCa});

    const QCommandLineOption metrics(
        QStringLiteral("metrics"),
        QStringLiteral("Serve /metrics (Prometheus) and /status (JSON) over HTTP on "
                       "<ADDRESS:PORT>, e.g. 127.0.0.1:9471, [::1]:9471 or localhost:9471."),
        QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption listPorts(
        QStringLiteral("list-ports"),
        QStringLiteral("Print the serial port table (number, device, identity, present, locked) "
                       "and exit; opens no port."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --list-ports: print JSON."));
    const QCommandLineOption metricsTls(
        QStringLiteral("metrics-tls"),
        QStringLiteral("Serve the metrics over TLS only, with the servers' certificate, key and "
                       "client CA."));
    parser.addOptions({metrics, listPorts, json, metricsTls});
    const QCommandLineOption announce(
        QStringLiteral("announce"),
        QStringLiteral("Announce the TCP/IP Server by DNS-SD (_iostream._tcp) while it listens, "
                       "as [announce] Enabled=true does."));
    parser.addOption(announce);

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
        const QString text = parser.value(open);
        bool ok = false;
        result.openPort = text.toInt(&ok);
        if (text.contains(QLatin1Char('/'))) {
            result.openPort = 0;
            result.openDevice = text;
        } else if (!ok || result.openPort < 1 || result.openPort > 64) {
            return fail(QStringLiteral("--open takes a port number from 1 to 64 or a device "
                                       "path, not '%1'.")
                            .arg(text));
        }
    }
    QString listenHost;
    if (parser.isSet(listen)) {
        const QString text = parser.value(listen);
        bool ok = false;
        uint port = text.toUInt(&ok);
        QString why;
        if (text.contains(QLatin1Char(':'))) {
            const std::optional<HostPort> place = HostPort::parse(text, &why);
            ok = place.has_value();
            if (place) {
                port = place->port;
                // A name for this host's loopback (localhost) listens on both.
                listenHost = place->loopbackOnly() && place->addresses.size() > 1
                    ? QStringLiteral("loopback")
                    : place->preferred().toString();
            }
        }
        if (!ok || port > 65535 || text.startsWith(QLatin1Char('+')))
            return fail(QStringLiteral("--listen takes a TCP port from 0 to 65535 or "
                                       "ADDRESS:PORT, not '%1'%2.")
                            .arg(text, why.isEmpty() ? QString() : QStringLiteral(": ") + why));
        if (!listenHost.isEmpty() && parser.isSet(listenAddress))
            return fail(QStringLiteral("--listen ADDRESS:PORT and --listen-address both say "
                                       "where to listen: give one."));
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
    if (!listenHost.isEmpty())
        result.listenAddress = listenHost;
    result.rfc2217 = parser.isSet(rfc2217);
    if (parser.isSet(serverPeers)) {
        NetworkSettings network;
        if (!NetworkSettings::serverPeersFromText(parser.value(serverPeers), &network.serverPeers))
            return fail(QStringLiteral("--server-peers takes keep or a number from 1 to %1, not '%2'.")
                            .arg(NetworkSettings::MaxServerPeers)
                            .arg(parser.value(serverPeers)));
        result.serverPeers = network.serverPeersText();
    }
    result.kickOldest = parser.isSet(kickOldest);
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
    if (parser.isSet(link) || parser.isSet(linkDevice)) {
        if (!parser.isSet(link) || parser.value(linkDevice).isEmpty())
            return fail(QStringLiteral("--link HOST:PORT and --link-device PATH go together."));
        if (parser.isSet(open) || parser.isSet(listen) || parser.isSet(rfc2217) || parser.isSet(capture))
            return fail(QStringLiteral("--link runs alone: no --open, --listen, --rfc2217 or --capture."));
        // HOST:PORT, the host of an IPv6 address in brackets ([::1]:7000).
        const QString text = parser.value(link);
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        QString host = text.left(qMax<qsizetype>(colon, 0));
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        bool ok = false;
        const uint port = text.mid(colon + 1).toUInt(&ok);
        if (colon < 0 || host.isEmpty() || host.contains(QLatin1Char('[')) || !ok || port < 1 || port > 65535)
            return fail(QStringLiteral("--link takes HOST:PORT with a port from 1 to 65535, not '%1'.")
                            .arg(text));
        result.linkHost = host;
        result.linkPort = quint16(port);
        result.linkDevice = parser.value(linkDevice);
        result.headless = true;
        result.linkTlsCa = parser.value(linkTlsCa);
        result.linkTls = parser.isSet(linkTls) || parser.isSet(linkTlsCa);
        if (parser.isSet(linkTlsCa) && result.linkTlsCa.isEmpty())
            return fail(QStringLiteral("--link-tls-ca needs a file."));
    } else if (parser.isSet(linkTls) || parser.isSet(linkTlsCa)) {
        return fail(QStringLiteral("--link-tls and --link-tls-ca go with --link."));
    }
    if (parser.isSet(configDir)) {
        result.configDir = parser.value(configDir);
        if (result.configDir.isEmpty())
            return fail(QStringLiteral("--config-dir needs a folder."));
    }
    result.metricsTls = parser.isSet(metricsTls);
    result.announce = parser.isSet(announce);
    if (parser.isSet(metrics)) {
        QString why;
        if (!HostPort::parse(parser.value(metrics), &why))
            return fail(QStringLiteral("--metrics takes ADDRESS:PORT (like 127.0.0.1:9471 or "
                                       "[::1]:9471), not '%1': %2.")
                            .arg(parser.value(metrics), why));
        result.metrics = parser.value(metrics);
    }
    result.json = parser.isSet(json);
    if (parser.isSet(listPorts))
        result.action = CommandLine::Action::ListPorts;
    else if (result.json)
        return fail(QStringLiteral("--json goes with --list-ports."));
    return result;
}
