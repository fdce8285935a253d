#include "app/command_line.h"

#include "platform/line_settings.h"
#include "engine/network_settings.h"
#include "monitor/metrics_server.h"
#include "platform/host_port.h"

#include <QCommandLineParser>

namespace {
const QString ProgramName = QStringLiteral("quaylight");

// What an option's check sees: its own name and value and, for the few
// options that depend on others, the rest of the command line.
struct Given {
    const QCommandLineParser &parser;
    QString name;
    QString value; // empty for a flag

    [[nodiscard]] bool isSet(const char *option) const { return parser.isSet(QLatin1String(option)); }
    [[nodiscard]] QString valueOf(const char *option) const { return parser.value(QLatin1String(option)); }
};

// Takes an option that was given into `out`; returns the one line saying
// what is wrong with it, empty when nothing is.
using Take = QString (*)(const Given &given, CommandLine &out);

// One command-line option: what --help says of it and what it does.
struct OptionRow {
    const char *name;
    char shortName;        // '\0': none
    const char *valueName; // nullptr: a flag
    const char *help;
    Take take;             // nullptr: --help and --version, which end parsing
    // One device's setting: --devices FILE gives each device its own, so
    // the two cannot be combined.
    bool perDevice;
};

// Options whose value names a file, or a folder, that must be given.
template <QString CommandLine::*Field, bool Folder = false>
QString takePath(const Given &given, CommandLine &out)
{
    if (given.value.isEmpty())
        return QStringLiteral("--%1 needs a %2.")
            .arg(given.name, Folder ? QStringLiteral("folder") : QStringLiteral("file"));
    out.*Field = given.value;
    return {};
}

template <bool CommandLine::*Field>
QString takeFlag(const Given &, CommandLine &out)
{
    out.*Field = true;
    return {};
}

QString takeOpen(const Given &given, CommandLine &out)
{
    const QString &text = given.value;
    if (text.contains(QLatin1Char('/'))) {
        out.openDevice = text;
        return {};
    }
    bool ok = false;
    out.openPort = text.toInt(&ok);
    if (!ok || out.openPort < 1 || out.openPort > 64)
        return QStringLiteral("--open takes a port number from 1 to 64 or a device path, not '%1'.")
            .arg(text);
    return {};
}

QString takeListen(const Given &given, CommandLine &out)
{
    const QString &text = given.value;
    bool ok = false;
    uint port = text.toUInt(&ok);
    QString why;
    QString host;
    if (text.contains(QLatin1Char(':'))) {
        const std::optional<HostPort> place = HostPort::parse(text, &why);
        ok = place.has_value();
        if (place) {
            port = place->port;
            // A name for this host's loopback (localhost) listens on both.
            host = place->loopbackOnly() && place->addresses.size() > 1
                ? QStringLiteral("loopback")
                : place->preferred().toString();
        }
    }
    if (!ok || port > 65535 || text.startsWith(QLatin1Char('+')))
        return QStringLiteral("--listen takes a TCP port from 0 to 65535 or ADDRESS:PORT, not '%1'%2.")
            .arg(text, why.isEmpty() ? QString() : QStringLiteral(": ") + why);
    if (!host.isEmpty() && given.isSet("listen-address"))
        return QStringLiteral("--listen ADDRESS:PORT and --listen-address both say where to listen: "
                              "give one.");
    out.listenPort = QString::number(port);
    if (!host.isEmpty())
        out.listenAddress = host;
    return {};
}

QString takeBaud(const Given &given, CommandLine &out)
{
    bool ok = false;
    out.baudRate = given.value.toInt(&ok);
    if (!ok || out.baudRate <= 0)
        return QStringLiteral("--baud takes a positive number of bit/s, not '%1'.").arg(given.value);
    return {};
}

QString takeFraming(const Given &given, CommandLine &out)
{
    LineSettings line;
    if (!line.setFraming(given.value))
        return QStringLiteral("--framing takes data bits 5-8, parity N/O/E/M/S and stop bits "
                              "1/1.5/2 (like 8N1), not '%1'.")
            .arg(given.value);
    out.framing = given.value;
    return {};
}

QString takeFlow(const Given &given, CommandLine &out)
{
    const QString mode = given.value.toLower();
    if (mode != QLatin1String("none") && mode != QLatin1String("rtscts")
        && mode != QLatin1String("xonxoff"))
        return QStringLiteral("--flow takes none, rtscts or xonxoff, not '%1'.").arg(given.value);
    out.flowControl = mode;
    return {};
}

QString takeListenAddress(const Given &given, CommandLine &out)
{
    NetworkSettings network;
    network.listenAddress = given.value;
    if (QString problem = network.problem(); !problem.isEmpty())
        return problem;
    out.listenAddress = given.value;
    return {};
}

QString takeAllow(const Given &given, CommandLine &out)
{
    NetworkSettings network;
    network.allowedPeers = given.value;
    if (QString problem = network.problem(); !problem.isEmpty())
        return problem;
    out.allowedPeers = given.value;
    out.allowGiven = true;
    return {};
}

QString takeServerPeers(const Given &given, CommandLine &out)
{
    NetworkSettings network;
    if (!NetworkSettings::serverPeersFromText(given.value, &network.serverPeers))
        return QStringLiteral("--server-peers takes keep or a number from 1 to %1, not '%2'.")
            .arg(NetworkSettings::MaxServerPeers)
            .arg(given.value);
    out.serverPeers = network.serverPeersText();
    return {};
}

const QString LinkGoTogether =
    QStringLiteral("--link HOST:PORT and --link-device PATH go together.");

// --link HOST:PORT, the host of an IPv6 address in brackets ([::1]:7000).
// The link runs alone and without a window.
QString takeLink(const Given &given, CommandLine &out)
{
    if (given.valueOf("link-device").isEmpty())
        return LinkGoTogether;
    if (given.isSet("open") || given.isSet("listen") || given.isSet("rfc2217") || given.isSet("capture"))
        return QStringLiteral("--link runs alone: no --open, --listen, --rfc2217 or --capture.");
    const QString &text = given.value;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = text.left(qMax<qsizetype>(colon, 0));
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (colon < 0 || host.isEmpty() || host.contains(QLatin1Char('[')) || !ok || port < 1 || port > 65535)
        return QStringLiteral("--link takes HOST:PORT with a port from 1 to 65535, not '%1'.").arg(text);
    out.linkHost = host;
    out.linkPort = quint16(port);
    out.headless = true;
    return {};
}

QString takeLinkDevice(const Given &given, CommandLine &out)
{
    if (!given.isSet("link"))
        return LinkGoTogether;
    out.linkDevice = given.value;
    return {};
}

QString takeLinkTls(const Given &given, CommandLine &out)
{
    if (!given.isSet("link"))
        return QStringLiteral("--link-tls and --link-tls-ca go with --link.");
    out.linkTls = true;
    if (given.name == QLatin1String("link-tls-ca")) {
        if (given.value.isEmpty())
            return QStringLiteral("--link-tls-ca needs a file.");
        out.linkTlsCa = given.value;
    }
    return {};
}

QString takeDevices(const Given &given, CommandLine &out)
{
    if (given.value.isEmpty())
        return QStringLiteral("--devices needs a file.");
    out.devicesFile = given.value;
    out.headless = true;
    return {};
}

QString takeMetrics(const Given &given, CommandLine &out)
{
    QString why;
    if (!HostPort::parse(given.value, &why))
        return QStringLiteral("--metrics takes ADDRESS:PORT (like 127.0.0.1:9471 or [::1]:9471), "
                              "not '%1': %2.")
            .arg(given.value, why);
    out.metrics = given.value;
    return {};
}

QString takeListPorts(const Given &, CommandLine &out)
{
    out.action = CommandLine::Action::ListPorts;
    return {};
}

QString takeJson(const Given &given, CommandLine &out)
{
    if (!given.isSet("list-ports"))
        return QStringLiteral("--json goes with --list-ports.");
    out.json = true;
    return {};
}

// Every option, in the order --help lists them and checks them.
constexpr OptionRow Options[] = {
    {"help", 'h', nullptr, "Show this help and exit.", nullptr, false},
    {"version", 'v', nullptr, "Show the version and exit.", nullptr, false},
    {"headless", 0, nullptr, "Run the relay without a window; events are written to stderr.",
     takeFlag<&CommandLine::headless>, false},
    {"devices", 0, "FILE",
     "Serve every device of the INI file <FILE> (one section each) in one process; implies "
     "--headless.",
     takeDevices, false},
    {"open", 0, "N|PATH",
     "Open serial port number <N> (1-64), or the device file <PATH>, at start.", takeOpen, true},
    {"listen", 0, "[ADDRESS:]PORT",
     "Let the TCP/IP Server listen on <PORT> (0-65535) at start, or on <ADDRESS:PORT> (like "
     "localhost:7000 or [::1]:7000).",
     takeListen, true},
    {"config-dir", 0, "DIR",
     "Folder of the settings files and ports.ini (default: $XDG_CONFIG_HOME/quaylight).",
     takePath<&CommandLine::configDir, true>, false},
    {"baud", 0, "N", "Serial line speed <N> bit/s for this run.", takeBaud, true},
    {"framing", 0, "FRAMING",
     "Data bits, parity (N, O, E, M, S) and stop bits (1, 1.5, 2) for this run, e.g. 8N1.",
     takeFraming, true},
    {"flow", 0, "MODE", "Flow control for this run: none, rtscts or xonxoff.", takeFlow, true},
    {"listen-address", 0, "ADDRESS",
     "Where both servers listen: any (IPv4 and IPv6), loopback, or one address of this host.",
     takeListenAddress, true},
    {"allow", 0, "LIST",
     "Peers allowed to connect: addresses and CIDR ranges, comma-separated (empty: everyone).",
     takeAllow, true},
    {"capture", 0, "FILE",
     "Write every relayed chunk to <FILE> as a hex dump (stops at 100 MiB).",
     takePath<&CommandLine::captureFile>, true},
    {"rfc2217", 0, nullptr, "The TCP/IP Server speaks RFC 2217: its peer may set the serial line.",
     takeFlag<&CommandLine::rfc2217>, true},
    {"server-peers", 0, "N|keep",
     "Peers the TCP/IP Server serves at once: 1 (stops listening while its peer is there), keep "
     "(one, listening goes on), or 2-64.",
     takeServerPeers, true},
    {"kick-oldest", 0, nullptr,
     "A peer over the --server-peers limit closes the oldest one instead of being refused.",
     takeFlag<&CommandLine::kickOldest>, true},
    {"tls-cert", 0, "FILE",
     "Both servers speak TLS only, with this PEM certificate (and chain).",
     takePath<&CommandLine::tlsCertificate>, true},
    {"tls-key", 0, "FILE", "The PEM private key of --tls-cert.", takePath<&CommandLine::tlsKey>,
     true},
    {"tls-client-ca", 0, "FILE",
     "Only clients with a certificate signed by this PEM CA may connect.",
     takePath<&CommandLine::tlsClientCa>, true},
    {"link", 0, "HOST:PORT",
     "Run as a link: make the serial port of the RFC 2217 server at <HOST:PORT> a local device "
     "(needs --link-device; no window).",
     takeLink, true},
    {"link-device", 0, "PATH",
     "Where the link's device appears: a symbolic link <PATH> to its pseudo-terminal.",
     takeLinkDevice, true},
    {"link-tls", 0, nullptr,
     "The link connects with TLS (the hub verified against the system's CAs; --tls-cert and "
     "--tls-key are its client certificate).",
     takeLinkTls, true},
    {"link-tls-ca", 0, "FILE", "The link trusts only this PEM CA (implies --link-tls).",
     takeLinkTls, true},
    {"metrics", 0, "ADDRESS:PORT",
     "Serve /metrics (Prometheus) and /status (JSON) over HTTP on <ADDRESS:PORT>, e.g. "
     "127.0.0.1:9471, [::1]:9471 or localhost:9471.",
     takeMetrics, false},
    {"list-ports", 0, nullptr,
     "Print the serial port table (number, device, identity, present, locked) and exit; opens "
     "no port.",
     takeListPorts, false},
    {"json", 0, nullptr, "With --list-ports: print JSON.", takeJson, false},
    {"metrics-tls", 0, nullptr,
     "Serve the metrics over TLS only, with the servers' certificate, key and client CA.",
     takeFlag<&CommandLine::metricsTls>, false},
    {"announce", 0, nullptr,
     "Announce the TCP/IP Server by DNS-SD (_iostream._tcp) while it listens, and the metrics "
     "server as the console (_http._tcp), as [announce] Enabled=true does.",
     takeFlag<&CommandLine::announce>, true},
};

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
    for (const OptionRow &row : Options) {
        QStringList names {QLatin1String(row.name)};
        if (row.shortName)
            names.prepend(QString(QLatin1Char(row.shortName)));
        parser.addOption(QCommandLineOption(names, QLatin1String(row.help),
                                            row.valueName ? QLatin1String(row.valueName)
                                                          : QString()));
    }

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
    if (parser.isSet(QStringLiteral("help"))) {
        result.action = CommandLine::Action::Help;
        // No application object exists yet to name the program.
        result.message = parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                   ProgramName);
        return result;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        result.action = CommandLine::Action::Version;
        result.message = versionLine();
        return result;
    }
    const bool devices = parser.isSet(QStringLiteral("devices"));
    for (const OptionRow &row : Options) {
        const QString name = QLatin1String(row.name);
        if (!row.take || !parser.isSet(name))
            continue;
        if (row.perDevice && devices)
            return fail(QStringLiteral("--devices and --%1 cannot be combined: each device's "
                                       "settings are in the devices file.")
                            .arg(name));
        const Given given {parser, name, row.valueName ? parser.value(name) : QString()};
        if (const QString problem = row.take(given, result); !problem.isEmpty())
            return fail(problem);
    }
    return result;
}
