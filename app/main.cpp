#include "app/qt_message_boxes.h"
#include "app/relay_window.h"
#include "platform/config_location.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Qt's own event dispatcher: the relay runs many short passes of the
    // event queue, and the GLib one costs more per pass.
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quaylight"));

    QtMessageBoxes boxes;
    Form1 window(boxes, quaylightConfigDir());
    QObject::connect(&window, &Form1::programEnded, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    return app.exec();
}
