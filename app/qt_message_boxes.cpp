#include "app/qt_message_boxes.h"

#include <QMessageBox>

MessageBoxes::Answer QtMessageBoxes::show(const QString &text, Buttons buttons)
{
    QMessageBox box(m_parent.data());
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(QStringLiteral("Quaylight"));
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    if (buttons == Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int result = box.exec();
    if (buttons == Buttons::Ok)
        return Answer::Ok;
    return result == QMessageBox::Yes ? Answer::Yes : Answer::No;
}
