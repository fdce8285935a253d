#include "app/startup.h"

#include "app/announcer.h"
#include "app/command_line.h"
#include "app/device_hubs.h"
#include "app/event_log.h"
#include "app/logged_message_boxes.h"
#include "platform/config_location.h"
#include "platform/log_categories.h"
#include "platform/log_scope.h"
#include "platform/log_tail.h"
#include "platform/serial_comm.h"
#include "platform/signal_watcher.h"
#include "platform/winsock.h"
#include "engine/capture_file.h"
#include "engine/port_text.h"
#include "relay/control.h"
#include "platform/handler_guard.h"
#include "relay/relay_core.h"
#include "engine/settings_store.h"
#include "monitor/metrics_server.h"
#include "platform/component_error.h"
#include "platform/port_table.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

QString configDirFor(const CommandLine &options)
{
    return options.configDir.isEmpty() ? quaylightConfigDir() : options.configDir;
}

TlsSettings tlsFor(TlsSettings tls, const CommandLine &options)
{
    if (options.tlsCertificate.isEmpty() && options.tlsKey.isEmpty() && options.tlsClientCa.isEmpty())
        return tls;
    tls.enabled = true;
    if (!options.tlsCertificate.isEmpty())
        tls.certificate = options.tlsCertificate;
    if (!options.tlsKey.isEmpty())
        tls.privateKey = options.tlsKey;
    if (!options.tlsClientCa.isEmpty())
        tls.clientCa = options.tlsClientCa;
    return tls;
}

void applySettingOptions(RelayCore &core, const CommandLine &options)
{
    if (!options.listenAddress.isEmpty() || options.allowGiven || options.rfc2217
        || !options.serverPeers.isEmpty() || options.kickOldest) {
        NetworkSettings network = core.networkSettings();
        if (!options.serverPeers.isEmpty())
            (void)NetworkSettings::serverPeersFromText(options.serverPeers, &network.serverPeers);
        if (options.kickOldest)
            network.kickOldest = true;
        if (!options.listenAddress.isEmpty())
            network.listenAddress = options.listenAddress;
        if (options.allowGiven)
            network.allowedPeers = options.allowedPeers;
        if (options.rfc2217)
            network.rfc2217 = true;
        core.setNetworkSettings(network, false); // checked when parsed
    }
    // A certificate without a key is refused by the Listen that follows,
    // which says what is missing. Either way the rules in effect are logged
    // once.
    if (const TlsSettings tls = tlsFor(core.tlsSettings(), options); !(tls == core.tlsSettings()))
        core.setTlsSettings(tls, false);
    else
        qCInfo(lcNet, "TLS: %s", qUtf8Printable(tls.describe()));
    LineSettings line = core.lineSettings();
    if (options.baudRate > 0)
        line.baudRate = options.baudRate;
    if (!options.framing.isEmpty())
        (void)line.setFraming(options.framing); // checked when parsed
    if (!options.flowControl.isEmpty())
        (void)LineSettings::flowFromText(options.flowControl, &line.flowControl);
    if (!(line == core.lineSettings()))
        core.setLineSettings(line, false);
}

// The hub's own steps, as the operator's buttons would take them with the
// fields as stored; each returns why it failed, or nothing.
QString openOn(RelayCore &core, int number)
{
    try {
        core.engine().openPort(number);
    } catch (const ComponentError &error) {
        qCWarning(lcSerial, "COM port %d cannot be opened: error %d, %s", number, error.code(),
                  qUtf8Printable(error.text()));
        return error.text();
    }
    return {};
}

QString listenOn(RelayCore &core, int index, const QString &portText)
{
    try {
        core.engine().listen(index, listenPortFromText(portText));
    } catch (const ComponentError &error) {
        qCWarning(lcNet, "%s cannot listen: error %d, %s", endpointName(index), error.code(),
                  qUtf8Printable(error.text()));
        return error.text();
    }
    return {};
}

QString storedField(RelayCore &core, const QString &key, const char *fallback)
{
    return core.hubSettings().startupField(key, QLatin1String(fallback));
}

void restoreSession(RelayCore &core, const CommandLine &options)
{
    const HubSettings &settings = core.hubSettings();
    if (!settings.restoresSession())
        return;
    const HubSettings::Session noted = settings.session();
    const int server = endpointOf(EndpointRole::ServerListener);

    LoggedMessageBoxes logged;
    MessageBoxes &previous = core.setBoxes(logged);
    const auto restoreBoxes = qScopeGuard([&] { core.setBoxes(previous); });
    core.setRestoringSession(true);
    QStringList failed;
    const int comPort = noted.comPort;
    if (comPort >= PortTable::FirstPort && comPort <= PortTable::LastPort && options.openPort == 0) {
        if (!openOn(core, comPort).isEmpty())
            failed.append(QStringLiteral("COM port %1 did not open").arg(comPort));
    }
    // Exit during a step (a signal in its wait) leaves the later ones undone.
    if (!core.hasEnded() && noted.server2 && options.listenPort.isEmpty()) {
        const RelayCore::Endpoint &row = core.endpoint(server);
        if (!listenOn(core, server, storedField(core, row.portKey, row.row->portDefault)).isEmpty())
            failed.append(QStringLiteral("the TCP/IP Server did not listen"));
    }
    // The buttons that connect the forwarders, from the Command3 map.
    for (std::size_t button = 0; button < Command3Map.size(); ++button) {
        const ForwarderButton &b = Command3Map[button];
        const bool armed = b.endpoint == endpointOf(EndpointRole::SoftwareForwarder) ? noted.forwarder1
                                                                                     : noted.forwarder3;
        if (core.hasEnded() || !b.connects || !armed)
            continue;
        const RelayCore::Endpoint &row = core.endpoint(b.endpoint);
        runHandler("restore: Connect", [&] {
            core.engine().connectTo(b.endpoint, storedField(core, row.hostKey, "192.168.1.100"),
                                    connectPortFromText(storedField(core, row.portKey, row.row->portDefault)));
        });
    }
    if (core.hasEnded())
        return; // half restored, and never noted as the session
    core.setRestoringSession(false);

    if (failed.isEmpty()) {
        qCInfo(lcApp, "session restored");
    } else {
        qCWarning(lcApp, "session restored in part: %s", qUtf8Printable(failed.join(QStringLiteral("; "))));
        core.setCaption(QStringLiteral("Session restore: ") + failed.join(QStringLiteral("; ")));
    }
}

namespace {


// --open as the operator's click; the line that says why it failed, or none.
QString openAtStart(RelayCore &core, const CommandLine &options)
{
    int number = options.openPort;
    if (!options.openDevice.isEmpty()) {
        if (!QFileInfo::exists(options.openDevice))
            return QStringLiteral("%1 could not be opened: %2")
                .arg(options.openDevice, QString::fromLocal8Bit(std::strerror(ENOENT)));
        number = core.engine().ports().numberFor(options.openDevice);
        if (number == 0)
            return QStringLiteral("%1 could not be opened: every port number is taken")
                .arg(options.openDevice);
        qCInfo(lcSerial, "%s is COM port %d", qUtf8Printable(options.openDevice), number);
    }
    // Remembered as the operator's choice, as a click in the list would.
    core.saveSetting([number](HubSettings &settings) { settings.setChosenComPort(number); });
    const QString why = openOn(core, number);
    if (why.isEmpty() || core.hasEnded())
        return {};
    return QStringLiteral("serial port %1 could not be opened%2")
        .arg(options.openDevice.isEmpty() ? QString::number(number)
                                          : QStringLiteral("%1 (%2)").arg(number).arg(options.openDevice),
             QStringLiteral(": ") + why);
}

// --open and --listen, as the operator's clicks; one line per step that did
// not succeed. Headless, a failed Open is the last step: nothing listens for
// a port that is not there.
QStringList applyStartOptions(RelayCore &core, const CommandLine &options)
{
    QStringList failures;
    if ((options.openPort > 0 || !options.openDevice.isEmpty()) && !core.hasEnded()) {
        if (const QString failure = openAtStart(core, options); !failure.isEmpty()) {
            failures.append(failure);
            if (core.headless())
                return failures;
        }
    }
    if (!options.listenPort.isEmpty() && !core.hasEnded()) {
        const int server = endpointOf(EndpointRole::ServerListener);
        // The port is this run's; the stored field stays as it was.
        if (const QString why = listenOn(core, server, options.listenPort); !why.isEmpty())
            failures.append(QStringLiteral("cannot listen on TCP port %1: %2").arg(options.listenPort, why));
    }
    return failures;
}

} // namespace

QStringList takeStartSteps(RelayCore &core, const CommandLine &options)
{
    applySettingOptions(core, options);
    restoreSession(core, options);
    QStringList failures = applyStartOptions(core, options);
    if (!options.captureFile.isEmpty() && !core.hasEnded() && (failures.isEmpty() || !core.headless())) {
        QString error;
        if (!core.startCapture(options.captureFile, CaptureFile::DefaultLimit, &error))
            failures.append(QStringLiteral("cannot write the capture file %1: %2")
                                .arg(options.captureFile, error));
    }
    // The controls show what the steps did.
    core.showState();
    // What the step under way when Exit ran left undone is no failure.
    return core.hasEnded() ? QStringList() : failures;
}

void endOnSignals(RelayCore &core, QCoreApplication &app, const CommandLine &options)
{
    auto *watcher = new SignalWatcher({SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}, &core);
    QObject::connect(watcher, &SignalWatcher::signalled, &core, [&core, options](int signo) {
        if (signo == SIGUSR2) {
            // The [tls] section as written now, and renewed certificates:
            // at once for the listeners listening now; TLS peers stay.
            QStringList complaints;
            const TlsSettings stored = core.hubSettings().tls(&complaints);
            for (const QString &complaint : std::as_const(complaints))
                qCWarning(lcNet, "%s", qUtf8Printable(complaint));
            if (const TlsSettings tls = tlsFor(stored, options); tls == core.tlsSettings())
                core.reloadTls();
            else
                core.setTlsSettings(tls, false);
            return;
        }
        if (signo == SIGUSR1) {
            qCInfo(lcApp, "bytes: %s", qUtf8Printable(core.counters().describe()));
            return;
        }
        qCInfo(lcApp, "signal %d: closing the port and the sockets", signo);
        runHandler("end", [&] { core.endProgram(); });
    });
    QObject::connect(&core, &RelayCore::programEnded, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
}

QStringList unusableSettings(RelayCore &core, const CommandLine &options)
{
    QStringList lines;
    const HubSettings &settings = core.hubSettings();
    if (options.metrics.isEmpty()) {
        const QString where = settings.metricsAddress();
        QHostAddress address;
        quint16 port = 0;
        if (!where.isEmpty() && !MetricsServer::parseAddress(where, &address, &port))
            lines.append(QStringLiteral("Harborcast.ini [monitor] Metrics=%1 is not ADDRESS:PORT "
                                        "(like 127.0.0.1:9471); nothing is started")
                             .arg(where));
    }
    if (const TlsSettings tls = tlsFor(core.tlsSettings(), options); tls.enabled) {
        try {
            (void)tls.serverConfiguration();
        } catch (const ComponentError &error) {
            lines.append(QStringLiteral("%1; nothing is started").arg(error.text()));
        }
    }
    return lines;
}

namespace {

// Where the console is served: the port, and whether over TLS only.
struct ServedAt {
    quint16 port = 0;
    bool tls = false;
};

// The metrics of `source` where --metrics or [monitor] Metrics says, with
// the [tls] files `files` when they go over TLS; `served` tells where.
std::unique_ptr<MetricsServer> serveMetricsOf(MetricsServer::Source source, const HubSettings &settings,
                                              const TlsSettings &files, const CommandLine &options,
                                              QStringList *failures, ServedAt *served = nullptr)
{
    const QString where = options.metrics.isEmpty() ? settings.metricsAddress() : options.metrics;
    if (where.isEmpty())
        return {};
    QHostAddress address;
    quint16 port = 0;
    if (!MetricsServer::parseAddress(where, &address, &port)) {
        failures->append(QStringLiteral("[monitor] Metrics takes ADDRESS:PORT, not '%1'").arg(where));
        return {};
    }
    source.terminalOpen = settings.consoleTerminalOpen();
    auto server = std::make_unique<MetricsServer>(std::move(source));
    server->setLimits({settings.metricsMaxConnections(), settings.metricsIdleTimeoutMs()});
    const bool tls = options.metricsTls || settings.metricsTls();
    try {
        port = server->listen(address, port,
                              tls ? std::function<QSslConfiguration()>([files] {
                                  return files.serverConfiguration();
                              })
                                  : nullptr);
    } catch (const ComponentError &error) {
        failures->append(QStringLiteral("cannot serve the metrics on %1: %2").arg(where, error.text()));
        return {};
    }
    qCInfo(lcApp, "metrics served on %s port %u (/metrics, /status; the console at /)%s",
           qUtf8Printable(address.toString()), unsigned(port), tls ? " over TLS" : "");
    if (served)
        *served = {port, tls};
    return server;
}

} // namespace

std::unique_ptr<MetricsServer> serveMetrics(RelayCore &core, const CommandLine &options,
                                            QStringList *failures, LogTail *tail, bool announce)
{
    Hub &engine = core.engine();
    ServedAt served;
    auto server = serveMetricsOf(
        {[&engine] { return QList<const Engine *> {&engine}; },
         [&engine](const QHostAddress &peer) { return engine.network().peerFilter(nullptr).allows(peer); },
         false,
         // The one hub of a run goes by its name, which is empty.
         [&engine](const QString &name) { return name == engine.name() ? &engine : nullptr; }, tail},
        core.hubSettings(), tlsFor(core.tlsSettings(), options), options, failures, &served);
    if (server && announce)
        (new ConsoleAnnouncer(core.hubSettings().announceName(), served.port, served.tls, server.get()))
            ->setOn(true);
    // A peer of the relay comes before a scraper; who may connect applies
    // to who is connected.
    if (server) {
        QObject::connect(&core.engine(), &Engine::descriptorsExhausted, server.get(),
                         &MetricsServer::releaseOldest);
        QObject::connect(&core.engine(), &Engine::networkChanged, server.get(), &MetricsServer::closeOutsiders);
    }
    return server;
}

int listPorts(int &argc, char **argv, const CommandLine &options)
{
    QCoreApplication app(argc, argv);
    const QList<PortTable::Row> rows = PortTable(configDirFor(options)).rows();
    if (options.json) {
        QJsonArray list;
        for (const PortTable::Row &row : rows) {
            list.append(QJsonObject {{QStringLiteral("number"), row.number},
                                     {QStringLiteral("device"), row.devicePath},
                                     {QStringLiteral("identity"), row.identity},
                                     {QStringLiteral("present"), row.present},
                                     {QStringLiteral("locked"), row.locked}});
        }
        std::fputs(QJsonDocument(list).toJson(QJsonDocument::Indented).constData(), stdout);
        return 0;
    }
    const auto yesNo = [](bool on) { return on ? "yes" : "no"; };
    std::printf("%-6s %-7s %-6s %-30s %s\n", "number", "present", "locked", "device", "identity");
    for (const PortTable::Row &row : rows) {
        std::printf("%-6d %-7s %-6s %-30s %s\n", row.number, yesNo(row.present), yesNo(row.locked),
                    qUtf8Printable(row.devicePath.isEmpty() ? QStringLiteral("-") : row.devicePath),
                    qUtf8Printable(row.identity));
    }
    return 0;
}

int runHeadless(int &argc, char **argv, const CommandLine &options)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quaylight"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUAYLIGHT_VERSION));
    EventLog log({EventLog::defaultFilePath(), true});
    LoggedMessageBoxes boxes;
    RelayCore core(boxes, configDirFor(options));
    core.setHeadless(true);
    endOnSignals(core, app, options);
    qCInfo(lcApp, "%s started without a window; settings in %s", qUtf8Printable(versionLine()),
           qUtf8Printable(configDirFor(options)));
    const auto failed = [](const QStringList &failures, int code) {
        for (const QString &failure : failures)
            std::fprintf(stderr, "quaylight: %s\n", qUtf8Printable(failure));
        return code;
    };
    // Before any device or socket is opened: a DTR raised for a run that
    // cannot go on may already have reset the device.
    if (const QStringList unusable = unusableSettings(core, options); !unusable.isEmpty())
        return failed(unusable, ExitSettingsUnusable);
    QStringList failures;
    LogTail tail;
    log.setTap([&tail](const QString &line) { tail.append(LogScope::current(), line); });
    const auto untap = qScopeGuard([&log] { log.setTap({}); }); // before the tail goes
    // DNS-SD: the TCP/IP Server announced while it listens, the console
    // while it serves.
    const bool announcing = options.announce || core.hubSettings().announces();
    const std::unique_ptr<MetricsServer> metrics = serveMetrics(core, options, &failures, &tail, announcing);
    std::unique_ptr<Announcer> announcer;
    if (announcing)
        announcer = std::make_unique<Announcer>(core.engine(), core.hubSettings().announceName());
    if (failures.isEmpty())
        failures = takeStartSteps(core, options);
    if (!failures.isEmpty())
        return failed(failures, ExitStartFailed);
    // A signal during a start step has ended the program already.
    const int code = core.hasEnded() ? 0 : QCoreApplication::exec();
    qCInfo(lcApp, "ended; bytes: %s", qUtf8Printable(core.counters().describe()));
    return code;
}

int runDevices(int &argc, char **argv, const CommandLine &options)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quaylight"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUAYLIGHT_VERSION));
    EventLog log({EventLog::defaultFilePath(), true});
    const QString configDir = configDirFor(options);
    qCInfo(lcApp, "%s started without a window for the devices of %s; settings in %s",
           qUtf8Printable(versionLine()), qUtf8Printable(options.devicesFile), qUtf8Printable(configDir));
    const auto failed = [](const QStringList &failures, int code) {
        for (const QString &failure : failures)
            std::fprintf(stderr, "quaylight: %s\n", qUtf8Printable(failure));
        return code;
    };
    DeviceHubs hubs(options.devicesFile, configDir);
    // The process's own settings: where the metrics go, who may read them.
    QStringList complaints;
    const HubSettings settings(configDir);
    const NetworkSettings access = settings.network(&complaints);
    const TlsSettings files = settings.tls(&complaints);
    for (const QString &complaint : std::as_const(complaints))
        qCWarning(lcApp, "%s", qUtf8Printable(complaint));
    QStringList failures;
    ServedAt served;
    LogTail tail;
    log.setTap([&tail](const QString &line) { tail.append(LogScope::current(), line); });
    const auto untap = qScopeGuard([&log] { log.setTap({}); }); // before the tail goes
    const std::unique_ptr<MetricsServer> metrics = serveMetricsOf(
        {[&hubs] { return hubs.hubs(); },
         [access](const QHostAddress &peer) { return access.peerFilter(nullptr).allows(peer); }, true,
         [&hubs](const QString &name) { return hubs.hub(name); }, &tail},
        settings, files, options, &failures, &served);
    // Nothing is opened when the metrics cannot be served as asked.
    if (!failures.isEmpty() || !hubs.start(&failures))
        return failed(failures, ExitSettingsUnusable);
    // The console is announced while [announce] Enabled says so or a
    // section announces its hub, as the file says after each reading.
    ConsoleAnnouncer *console = nullptr;
    const auto announceConsole = [&] {
        const bool on = metrics && (settings.announces() || hubs.announces());
        if (on && !console)
            console = new ConsoleAnnouncer(settings.announceName(), served.port, served.tls, metrics.get());
        if (console && console->isOn() != on)
            console->setOn(on);
    };
    announceConsole();

    auto *watcher = new SignalWatcher({SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}, &app);
    QObject::connect(watcher, &SignalWatcher::signalled, &app, [&hubs, &announceConsole](int signo) {
        if (signo == SIGUSR2) {
            runHandler("devices: read again", [&] {
                hubs.reload();
                announceConsole();
            });
            return;
        }
        if (signo == SIGUSR1) {
            for (const Engine *hub : hubs.hubs()) {
                const LogScope scope(hub->name());
                qCInfo(lcApp, "bytes: %s", qUtf8Printable(hub->counters().describe()));
            }
            return;
        }
        qCInfo(lcApp, "signal %d: closing every port and socket", signo);
        runHandler("devices: close", [&] { hubs.closeAll(); });
        QCoreApplication::processEvents(); // queued output leaves
        QCoreApplication::quit();
    });
    const int code = QCoreApplication::exec();
    qCInfo(lcApp, "ended");
    return code;
}
