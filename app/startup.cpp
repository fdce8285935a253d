#include "app/startup.h"

#include "app/command_line.h"
#include "app/event_log.h"
#include "app/logged_message_boxes.h"
#include "platform/config_location.h"
#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "platform/signal_watcher.h"
#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/handler_guard.h"
#include "relay/relay_core.h"
#include "relay/settings_store.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

QString configDirFor(const CommandLine &options)
{
    return options.configDir.isEmpty() ? quaylightConfigDir() : options.configDir;
}

QStringList applyStartOptions(RelayCore &core, const CommandLine &options)
{
    QStringList failures;
    if (options.openPort > 0) {
        runHandler("--open", [&] {
            core.ComPort = qint16(options.openPort);
            core.Text3->setText(QString::number(options.openPort));
            try {
                core.settings().write(QStringLiteral("Tolvar"), QStringLiteral("startup"),
                                      QStringLiteral("ComPort"),
                                      QString::number(options.openPort));
            } catch (const std::exception &) {
                // Only remembered for the operator; the selection itself stands.
            }
            core.Command2_Click(0);
        });
        if (!core.Com1->PortOpen())
            failures.append(QStringLiteral("serial port %1 could not be opened")
                                .arg(options.openPort));
    }
    if (!options.listenPort.isEmpty()) {
        runHandler("--listen", [&] {
            core.Text4[0]->setText(options.listenPort);
            core.Command5_Click(0);
        });
        if (core.Winsock1[2]->State() != Winsock::sckListening)
            failures.append(QStringLiteral("cannot listen on TCP port %1").arg(options.listenPort));
    }
    return failures;
}

void endOnSignals(RelayCore &core, QCoreApplication &app)
{
    auto *watcher = new SignalWatcher({SIGINT, SIGTERM, SIGHUP}, &core);
    QObject::connect(watcher, &SignalWatcher::signalled, &core, [&core](int signo) {
        qCInfo(lcApp, "signal %d: closing the port and the sockets", signo);
        runHandler("mnuExit_Click", [&] { core.mnuExit_Click(); });
    });
    QObject::connect(&core, &RelayCore::programEnded, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
}

int runHeadless(int &argc, char **argv, const CommandLine &options)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quaylight"));
    EventLog log({EventLog::defaultFilePath(), true});
    LoggedMessageBoxes boxes;
    RelayCore core(boxes, configDirFor(options));
    endOnSignals(core, app);
    qCInfo(lcApp, "%s started without a window; settings in %s", qUtf8Printable(versionLine()),
           qUtf8Printable(configDirFor(options)));

    const QStringList failures = applyStartOptions(core, options);
    if (!failures.isEmpty()) {
        for (const QString &failure : failures)
            std::fprintf(stderr, "quaylight: %s\n", qUtf8Printable(failure));
        return 1;
    }
    const int code = QCoreApplication::exec();
    qCInfo(lcApp, "ended");
    return code;
}
