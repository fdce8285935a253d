#include "app/qt_message_boxes.h"

#include "app/logged_message_boxes.h"

#include <QMessageBox>

MessageBoxes::Answer QtMessageBoxes::show(const QString &text, Buttons buttons)
{
    if (m_closed)
        return LoggedMessageBoxes().show(text, buttons);
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
    m_open.append(&box);
    const int result = box.exec();
    m_open.removeOne(&box);
    if (buttons == Buttons::Ok)
        return Answer::Ok;
    return result == QMessageBox::Yes && !m_closed ? Answer::Yes : Answer::No;
}

void QtMessageBoxes::closeAll()
{
    m_closed = true;
    for (QMessageBox *box : std::as_const(m_open))
        box->reject();
}
