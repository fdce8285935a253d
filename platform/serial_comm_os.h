#pragma once

#include "platform/line_settings.h"

#include <QByteArray>
#include <QString>

// The operating-system side of SerialComm: what QSerialPort does not tell.
// Private to platform/; implemented per OS (serial_comm_unix.cpp).
namespace serial_os {

// True when this process may read and write the device file.
[[nodiscard]] bool mayReadWrite(const QString &path);

// True when the open descriptor reads as gone: hung up (USB unplug, pty
// master closed) or no longer a usable descriptor.
[[nodiscard]] bool hungUp(int fd);

// One non-blocking read of at most `size` bytes: how many it took, 0 when
// nothing waits (a tty in raw mode also reads 0 once hung up: ask hungUp),
// -1 for a failure (errno says which).
[[nodiscard]] qint64 readSome(int fd, char *buffer, qint64 size);

// Whatever the system still hands out on `fd` (a hung-up tty reads
// end-of-file after its last bytes); bounded, never blocks for long.
[[nodiscard]] QByteArray readRemaining(int fd);

// True when the device holds its sender back by itself while nobody reads
// it: a pseudo-terminal slave (resolved path under /dev/pts/, or a pty slave
// major number 136..143) or a USB CDC-ACM device (ttyACM*). `fd` is the
// open descriptor when there is one (-1: judged from the path alone).
[[nodiscard]] bool holdsSenderByItself(const QString &path, int fd);

// Clears the bits that qualify a parity other than `parity` (odd, and
// mark/space) on the open `fd`: QSerialPort sets them and leaves them when it
// switches to a parity that does not use them, so "none" after "mark" would
// keep the mark bits for the next parity enabled. False when the device
// refused.
[[nodiscard]] bool settleParity(int fd, LineSettings::Parity parity);

// Reads the data bits, parity and stop bits the open `fd` keeps into
// `line`; false when it cannot be read.
[[nodiscard]] bool readFraming(int fd, LineSettings *line);

} // namespace serial_os
