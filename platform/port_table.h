#pragma once

#include <QList>
#include <QMap>
#include <QString>

// Serial port numbers 1..64 and the device files they stand for.
//
// The table lives in <configDir>/ports.ini:
//
//   [numbering]
//   automatic=true          ; false: only the pinned numbers exist
//   [pinned]
//   3=/dev/pts/7            ; any device path, pinned by the user
//   [assigned]
//   1=/dev/ttyS0            ; remembered automatic numbers, by stable identity
//   2=usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
//
// Automatic numbering gives every device present a number that stays the
// same from run to run: a device is remembered by a stable identity (its
// /dev/serial/by-id name, else its USB serial number, else its path), so a
// USB adapter keeps its number in any socket. Built-in UARTs are numbered
// first, so on a fresh table they take the lowest numbers. Pinned numbers
// always win and are never handed out automatically.
class PortTable
{
public:
    struct Entry {
        int number = 0;
        QString devicePath;
    };

    static constexpr int FirstPort = 1;
    static constexpr int LastPort = 64;

    // Reads <configDir>/ports.ini on every lookup, so edits take effect
    // without a restart. A missing or unreadable file means automatic
    // numbering with no pins.
    explicit PortTable(QString configDir);

    // The device path that `number` stands for now, or an empty string when
    // the number names no present device (or is outside 1..64). Newly seen
    // devices get their numbers here and the file is updated when writable.
    [[nodiscard]] QString devicePath(int number) const;

    // All numbers that name a device now, ascending.
    [[nodiscard]] QList<Entry> entries() const;

    // Path of ports.ini.
    [[nodiscard]] QString filePath() const;

private:
    QString m_configDir;
};
