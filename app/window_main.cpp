// The window's half of the program, loaded by main only when a window is
// wanted, so that headless mode never loads Qt's GUI or X libraries.

#include "app/command_line.h"
#include "app/event_log.h"
#include "app/qt_message_boxes.h"
#include "app/relay_window.h"
#include "app/startup.h"
#include "platform/log_categories.h"
#include "engine/capture_file.h"
#include "relay/relay_core.h"

#include <QApplication>
#include <QPointer>

extern "C" Q_DECL_EXPORT int quaylightRunWindow(int *argc, char **argv,
                                                const CommandLine *options)
{
    QApplication app(*argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quaylight"));
    QApplication::setApplicationVersion(QStringLiteral(QUAYLIGHT_VERSION));
    // Ties the window to its desktop entry and icon (Wayland needs this).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quaylight.Quaylight"));
    EventLog log({EventLog::defaultFilePath(), false});
    QtMessageBoxes boxes;
    RelayCore core(boxes, configDirFor(*options));
    Form1 window(core);
    log.setTap([window = QPointer<Form1>(&window)](const QString &line) {
        if (window)
            window->appendLogLine(line);
    });
    boxes.setParent(&window);
    endOnSignals(core, app);
    window.show();
    applySettingOptions(core, *options);
    restoreSession(core, *options);
    // Failed steps have shown their own boxes, as a click would have.
    (void)applyStartOptions(core, *options);
    if (!options->captureFile.isEmpty()) {
        QString error;
        if (!core.startCapture(options->captureFile, CaptureFile::DefaultLimit, &error))
            qCWarning(lcApp, "cannot write the capture file %s: %s",
                      qUtf8Printable(options->captureFile), qUtf8Printable(error));
    }
    const int code = QApplication::exec();
    log.setTap({});
    return code;
}
