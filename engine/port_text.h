#pragma once

#include <QString>
#include <QtGlobal>

// The two ways a port field's text becomes a number. They differ on purpose:
// the Listen action is lenient, the forwarders' Connect action is strict.
// Both round exactly, deciding from the digits as written (however many), so
// "3.4999999999999999999999" gives 3.

// Code of a text that is not a number (Connect only) and of a value outside
// the signed 32-bit range.
inline constexpr int TypeMismatchCode = 13;
inline constexpr int OverflowCode = 6;

// Listen: blanks (space, tab, CR, LF) anywhere are ignored; the value is the
// longest leading number (optional sign, digits, optional fraction), 0 when
// the text does not begin with one; a fraction rounds half to even. Throws
// ComponentError(6) outside the signed 32-bit range.
[[nodiscard]] qint32 listenPortFromText(const QString &text);

// Connect: the whole text, blanks allowed only around it, must be a number
// (sign, digits, optional fraction); a fraction rounds half to even. Throws
// ComponentError(13) when it is not a number and ComponentError(6) outside
// the signed 32-bit range.
[[nodiscard]] qint32 connectPortFromText(const QString &text);
