#pragma once

#include "relay/message_boxes.h"

#include <QList>
#include <QPointer>
#include <QWidget>

class QMessageBox;

// The real boxes: a QMessageBox whose nested event loop keeps sockets, the
// serial port and the timers running while it is shown.
class QtMessageBoxes : public MessageBoxes
{
public:
    // The window the boxes are modal to; may be set once it exists.
    void setParent(QWidget *parent) { m_parent = parent; }

    Answer show(const QString &text, Buttons buttons) override;

    // The program is ending: the boxes on screen close with the safe answer
    // (No), and later ones are only logged, as headless mode does, so that
    // no handler under way waits for an answer nobody will give.
    void closeAll();

private:
    QPointer<QWidget> m_parent;
    QList<QMessageBox *> m_open; // innermost last
    bool m_closed = false;
};
