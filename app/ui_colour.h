#pragma once

#include <QColor>
#include <QtGlobal>

class QWidget;

// Colours travel through the handlers as 0x00BBGGRR numbers (0x0000FF is red,
// 0xFF0000 is blue). These helpers are the only place that converts them.
namespace UiColour {
inline constexpr quint32 Red = 0x0000FF;
inline constexpr quint32 Yellow = 0x00FFFF;
inline constexpr quint32 Green = 0x00FF00;
inline constexpr quint32 Blue = 0xFF0000;
inline constexpr quint32 White = 0xFFFFFF;
inline constexpr quint32 Black = 0x000000;
inline constexpr quint32 NearBlack = 0x000002;

// 0x00BBGGRR to a QColor and back.
[[nodiscard]] QColor toQColor(quint32 bgr);
[[nodiscard]] quint32 fromQColor(const QColor &colour);

// Background and text colour of a text field, as 0x00BBGGRR.
void setBackColor(QWidget *field, quint32 bgr);
[[nodiscard]] quint32 backColor(const QWidget *field);
void setForeColor(QWidget *field, quint32 bgr);
[[nodiscard]] quint32 foreColor(const QWidget *field);
} // namespace UiColour
