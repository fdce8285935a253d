#pragma once

#include "app/message_boxes.h"

// The real boxes: a QMessageBox whose nested event loop keeps sockets, the
// serial port and the timers running while it is shown.
class QtMessageBoxes : public MessageBoxes
{
public:
    Answer show(QWidget *parent, const QString &text, Buttons buttons) override;
};
