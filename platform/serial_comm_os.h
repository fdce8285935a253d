#pragma once

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

// Whatever the system still hands out on `fd` (a hung-up tty reads
// end-of-file after its last bytes); bounded, never blocks for long.
[[nodiscard]] QByteArray readRemaining(int fd);

// True when the device holds its sender back by itself while nobody reads
// it: a pseudo-terminal slave (resolved path under /dev/pts/, or a pty slave
// major number 136..143) or a USB CDC-ACM device (ttyACM*). `fd` is the
// open descriptor when there is one (-1: judged from the path alone).
[[nodiscard]] bool holdsSenderByItself(const QString &path, int fd);

} // namespace serial_os
