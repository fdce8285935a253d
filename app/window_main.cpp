// The window's half of the program, loaded by main only when a window is
// wanted, so that headless mode never loads Qt's GUI or X libraries.

#include "app/command_line.h"
#include "app/event_log.h"
#include "app/qt_message_boxes.h"
#include "app/relay_window.h"
#include "app/startup.h"
#include "relay/relay_core.h"

#include <QApplication>

extern "C" Q_DECL_EXPORT int quaylightRunWindow(int *argc, char **argv,
                                                const CommandLine *options)
{
    QApplication app(*argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quaylight"));
    // Ties the window to its desktop entry and icon (Wayland needs this).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quaylight.Quaylight"));
    EventLog log({EventLog::defaultFilePath(), false});
    QtMessageBoxes boxes;
    RelayCore core(boxes, configDirFor(*options));
    Form1 window(core);
    boxes.setParent(&window);
    endOnSignals(core, app);
    window.show();
    applyLineOptions(core, *options);
    restoreSession(core, *options);
    // Failed steps have shown their own boxes, as a click would have.
    (void)applyStartOptions(core, *options);
    return QApplication::exec();
}
