#pragma once

#include "relay/message_boxes.h"

#include <QPointer>
#include <QWidget>

// The real boxes: a QMessageBox whose nested event loop keeps sockets, the
// serial port and the timers running while it is shown.
class QtMessageBoxes : public MessageBoxes
{
public:
    // The window the boxes are modal to; may be set once it exists.
    void setParent(QWidget *parent) { m_parent = parent; }

    Answer show(const QString &text, Buttons buttons) override;

private:
    QPointer<QWidget> m_parent;
};
