// The window's half of the program, loaded by main only when a window is
// wanted, so that headless mode never loads Qt's GUI or X libraries.

#include "app/announcer.h"
#include "app/command_line.h"
#include "app/display_probe.h"
#include "app/event_log.h"
#include "app/qt_message_boxes.h"
#include "app/window_dispatcher.h"
#include "app/relay_window.h"
#include "app/startup.h"
#include "monitor/metrics_server.h"
#include "platform/log_categories.h"
#include "platform/log_scope.h"
#include "platform/log_tail.h"
#include "relay/relay_core.h"

#include <QApplication>
#include <QPointer>

#include <cstdio>

extern "C" Q_DECL_EXPORT int quaylightRunWindow(int *argc, char **argv,
                                                const CommandLine *options)
{
    if (!displayReachable()) {
        std::fputs("quaylight: no display: use --headless or run under a virtual display\n", stderr);
        return 2;
    }
    // Before the application object: the window runs on the relay's own
    // dispatcher, which also delivers the window system's events.
    useWindowEventDispatcher();
    QApplication app(*argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quaylight"));
    QApplication::setApplicationVersion(QStringLiteral(QUAYLIGHT_VERSION));
    // Ties the window to its desktop entry and icon (Wayland needs this).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quaylight.Quaylight"));
    EventLog log({EventLog::defaultFilePath(), false});
    QtMessageBoxes boxes;
    RelayCore core(boxes, configDirFor(*options));
    Form1 window(core);
    LogTail tail; // the console's log
    log.setTap([window = QPointer<Form1>(&window), &tail](const QString &line) {
        tail.append(LogScope::current(), line);
        if (window)
            window->appendLogLine(line);
    });
    boxes.setParent(&window);
    // A box on screen when the program ends (a signal) would hold the
    // handler that showed it, and the start, for an answer nobody gives.
    QObject::connect(&core, &RelayCore::programEnded, &window, [&boxes] { boxes.closeAll(); });
    endOnSignals(core, app, *options);
    window.show();
    // Said before anything is opened; the operator is there to mend them.
    QStringList failures = unusableSettings(core, *options);
    // DNS-SD as headless: the TCP/IP Server while it listens, the console
    // while it serves.
    const bool announcing = options->announce || core.hubSettings().announces();
    const std::unique_ptr<MetricsServer> metrics = serveMetrics(core, *options, &failures, &tail, announcing);
    std::unique_ptr<Announcer> announcer;
    if (announcing)
        announcer = std::make_unique<Announcer>(core.engine(), core.hubSettings().announceName());
    for (const QString &failure : std::as_const(failures))
        qCWarning(lcApp, "%s", qUtf8Printable(failure));
    // Failed --open and --listen have shown their own boxes, as clicks would.
    for (const QString &failure : takeStartSteps(core, *options))
        qCWarning(lcApp, "%s", qUtf8Printable(failure));
    // A signal during a start step has ended the program already.
    const int code = core.hasEnded() ? 0 : QApplication::exec();
    log.setTap({});
    return code;
}
