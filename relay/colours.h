#pragma once

#include <QtGlobal>

// Colours travel through the relay as 0x00BBGGRR numbers (0x0000FF is red,
// 0xFF0000 is blue); the window converts them in one place (app/ui_colour.h).
namespace UiColour {
inline constexpr quint32 Red = 0x0000FF;
inline constexpr quint32 Yellow = 0x00FFFF;
inline constexpr quint32 Green = 0x00FF00;
inline constexpr quint32 Blue = 0xFF0000;
inline constexpr quint32 White = 0xFFFFFF;
inline constexpr quint32 Black = 0x000000;
inline constexpr quint32 NearBlack = 0x000002;
} // namespace UiColour
