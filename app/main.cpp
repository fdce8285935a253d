#include "app/qt_message_boxes.h"
#include "app/relay_window.h"
#include "platform/config_location.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quaylight"));

    QtMessageBoxes boxes;
    Form1 window(boxes, quaylightConfigDir());
    QObject::connect(&window, &Form1::programEnded, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    return app.exec();
}
