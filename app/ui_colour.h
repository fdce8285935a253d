#pragma once

#include "relay/colours.h"

#include <QColor>
#include <QtGlobal>

class QWidget;

// The one place that converts the relay's 0x00BBGGRR numbers (0x0000FF is
// red, 0xFF0000 is blue) to widget colours and back.
namespace UiColour {

// 0x00BBGGRR to a QColor and back.
[[nodiscard]] QColor toQColor(quint32 bgr);
[[nodiscard]] quint32 fromQColor(const QColor &colour);

// Background and text colour of a text field, as 0x00BBGGRR.
void setBackColor(QWidget *field, quint32 bgr);
[[nodiscard]] quint32 backColor(const QWidget *field);
void setForeColor(QWidget *field, quint32 bgr);
[[nodiscard]] quint32 foreColor(const QWidget *field);
} // namespace UiColour
