// Starts the relay: with its window, or headless. The command line is read
// before any application object exists, so --help, --version, mistakes and
// headless mode need no display.

#include "app/command_line.h"
#include "app/startup.h"
#include "platform/acceptor.h"
#include "platform/epoll_dispatcher.h"
#include "platform/signal_watcher.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>

#include <csignal>
#include <cstdio>

namespace {

using RunWindow = int (*)(int *, char **, const CommandLine *);

// The window lives in a module beside the program (build tree) or in the
// program's library folder (installed).
int runWindow(int &argc, char **argv, const CommandLine &options)
{
    const QString programDir = QFileInfo(QString::fromLocal8Bit(argv[0])).absolutePath();
    const QStringList candidates = {
        programDir + QStringLiteral("/quaylight-window.so"),
        programDir + QStringLiteral("/../" QUAYLIGHT_LIBDIR "/quaylight/quaylight-window.so"),
    };
    QString why;
    for (const QString &path : candidates) {
        if (!QFileInfo::exists(path))
            continue;
        QLibrary module(path);
        auto run = reinterpret_cast<RunWindow>(module.resolve("quaylightRunWindow"));
        if (run)
            return run(&argc, argv, &options);
        why = module.errorString();
    }
    std::fprintf(stderr, "quaylight: the window cannot be loaded (%s); --headless runs without it\n",
                 qUtf8Printable(why.isEmpty() ? QStringLiteral("quaylight-window.so not found")
                                              : why));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own event dispatcher: the relay runs many short passes of the
    // event queue, and the GLib one costs more per pass.
    qputenv("QT_NO_GLIB", "1");
    // Until the relay watches them, an ending signal must wait rather than
    // kill: the program then ends as Exit ends it, with 0.
    SignalWatcher::hold({SIGINT, SIGTERM, SIGHUP, SIGUSR1});

    // A crowd of clients must find the relay with descriptors to spare: the
    // soft limit is often far below what the system allows the process.
    (void)Acceptor::raiseDescriptorLimit();

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine options = parseCommandLine(arguments);
    // Before the application object exists; the window module installs the
    // same dispatcher with the window system's events added.
    if (options.action == CommandLine::Action::Run && options.headless)
        useRelayEventDispatcher();
    switch (options.action) {
    case CommandLine::Action::Help:
        std::fputs(qUtf8Printable(options.message), stdout);
        return 0;
    case CommandLine::Action::Version:
        std::printf("%s\n", qUtf8Printable(options.message));
        return 0;
    case CommandLine::Action::Error:
        std::fprintf(stderr, "quaylight: %s\nTry 'quaylight --help'.\n",
                     qUtf8Printable(options.message));
        return 2;
    case CommandLine::Action::ListPorts:
        return listPorts(argc, argv, options);
    case CommandLine::Action::Run:
        break;
    }
    if (!options.linkHost.isEmpty())
        return runLink(argc, argv, options);
    if (!options.devicesFile.isEmpty())
        return runDevices(argc, argv, options);
    return options.headless ? runHeadless(argc, argv, options) : runWindow(argc, argv, options);
}
