#include "app/command_line.h"
#include "app/event_log.h"
#include "app/startup.h"
#include "engine/tls_settings.h"
#include "link/link.h"
#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/signal_watcher.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {
// A hub that neither answers nor refuses within this at start is unreachable.
constexpr int StartTimeoutMs = 10000;
} // namespace

int runLink(int &argc, char **argv, const CommandLine &options)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quaylight"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUAYLIGHT_VERSION));
    EventLog log({EventLog::defaultFilePath(), true});
    const QString hub = QStringLiteral("%1:%2").arg(options.linkHost).arg(options.linkPort);
    Link link(options.linkHost, options.linkPort);
    if (const QString failure = link.createDevice(options.linkDevice); !failure.isEmpty()) {
        std::fprintf(stderr, "quaylight: cannot make the link device: %s\n", qUtf8Printable(failure));
        return ExitLinkDevice;
    }
    if (options.linkTls) {
        TlsSettings tls;
        tls.serverCa = options.linkTlsCa;
        tls.certificate = options.tlsCertificate;
        tls.privateKey = options.tlsKey;
        try {
            (void)tls.clientConfiguration(); // read at every connect; said wrong once, here
        } catch (const ComponentError &error) {
            std::fprintf(stderr, "quaylight: %s\n", qUtf8Printable(error.text()));
            return 2; // as a mistake on the command line
        }
        link.setTls([tls] { return tls.clientConfiguration(); });
    }
    SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP, SIGUSR1});
    QObject::connect(&watcher, &SignalWatcher::signalled, &app, [&](int signo) {
        if (signo == SIGUSR1)
            return;
        qCInfo(lcLink, "signal %d: removing %s and ending", signo, qUtf8Printable(options.linkDevice));
        QCoreApplication::exit(0);
    });
    bool reached = false;
    const auto unreachable = [&](const QString &why) {
        std::fprintf(stderr, "quaylight: cannot reach the hub at %s: %s\n", qUtf8Printable(hub),
                     qUtf8Printable(why));
        QCoreApplication::exit(ExitHubUnreachable);
    };
    QObject::connect(&link, &Link::firstAttempt, &app, [&](const QString &failure) {
        reached = failure.isEmpty();
        if (!reached)
            unreachable(failure);
    });
    QTimer::singleShot(StartTimeoutMs, &app, [&] {
        if (!reached)
            unreachable(QStringLiteral("no answer in %1 s").arg(StartTimeoutMs / 1000));
    });
    qCInfo(lcLink, "%s: %s is the serial port of the hub at %s", qUtf8Printable(versionLine()),
           qUtf8Printable(options.linkDevice), qUtf8Printable(hub));
    link.start();
    const int code = QCoreApplication::exec();
    link.stop();
    return code;
}
