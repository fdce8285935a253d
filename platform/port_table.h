#pragma once

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <functional>

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
//   4=usb:0403:6001:A50285BI
//
// Automatic numbering gives every device present a number that stays the
// same from run to run: a device is remembered by a stable identity (its
// /dev/serial/by-id name, else "usb:<vid>:<pid>:<serial number>" in lower-
// case hex, else its path), so a USB adapter keeps its number in any socket.
// Built-in UARTs are numbered first, so on a fresh table they take the lowest
// numbers. Pinned numbers always win and are never handed out automatically;
// a pinned device is not numbered automatically as well. A pinned path that
// does not exist reads as no device, and so does a pinned path holding a NUL
// byte or another control character (below 0x20, or 0x7f): its number stays
// reserved and one warning (category quaylight.serial) is logged per
// distinct entry and PortTable object. So is every line not understood: a
// section or key it does not know, a number outside 1..64, and an
// `automatic` that is none of true/false, yes/no, on/off, 1/0, which reads
// as false (a typo never numbers real devices). The [assigned] section is rewritten
// by the program (other sections and comments are kept as written); numbers
// beyond 64 are never given.
class PortTable
{
public:
    struct Entry {
        int number = 0;
        QString devicePath;
    };

    // One serial device present on the system, as automatic numbering sees it.
    struct Device {
        QString path;      // device file, e.g. /dev/ttyUSB0
        QString identity;  // stable identity remembered in [assigned]
        bool builtIn = false; // on-board UART (ttyS*, ttyAMA*, ...): numbered first
    };

    // One number as `quaylight --list-ports` shows it.
    struct Row {
        int number = 0;
        QString devicePath;   // the device it names now, else as pinned; empty: remembered, absent
        QString identity;     // stable identity (see stableIdentity)
        bool present = false; // names a device now
        bool locked = false;  // a running process holds the device's lock file
    };

    // Lists the devices present now. Only asked while automatic numbering is
    // on; the default lists the system's ports (systemDevices).
    using DeviceLister = std::function<QList<Device>()>;

    static constexpr int FirstPort = 1;
    static constexpr int LastPort = 64;

    // Reads <configDir>/ports.ini on every lookup, so edits take effect
    // without a restart. A missing or unreadable file means automatic
    // numbering with no pins.
    explicit PortTable(QString configDir);

    // The same with another source of devices (tests use a fake list).
    PortTable(QString configDir, DeviceLister lister);

    // The device path that `number` stands for now, or an empty string when
    // the number names no present device (or is outside 1..64). Newly seen
    // devices get their numbers here and the file is updated when writable.
    // Pinned paths are returned with symbolic links resolved.
    [[nodiscard]] QString devicePath(int number) const;

    // All numbers that name a device now, ascending.
    [[nodiscard]] QList<Entry> entries() const;

    // Every number pinned or remembered and every number naming a device
    // now, ascending. Numbers devices as devicePath does; opens no device.
    [[nodiscard]] QList<Row> rows() const;

    // The number that stands for the device at `path`: the one the table
    // gives it now, else, for the life of this object only (ports.ini is not
    // changed), the lowest number nobody pinned or remembered, which then
    // stands for `path` itself: a link is followed again at each lookup. 0
    // when `path` names no device or every number is taken.
    [[nodiscard]] int numberFor(const QString &path);

    // Path of ports.ini.
    [[nodiscard]] QString filePath() const;

    // The serial devices of this system (QSerialPortInfo::availablePorts()),
    // with their stable identities.
    [[nodiscard]] static QList<Device> systemDevices();

    // The stable identity of a device: its /dev/serial/by-id link name when
    // it has one, else "usb:<vid>:<pid>:<serial>" (4-digit lower-case hex)
    // when it has USB ids and a serial number, else its path.
    [[nodiscard]] static QString stableIdentity(const QString &path, const QString &byIdName,
                                                bool hasUsbIds, quint16 vendorId,
                                                quint16 productId, const QString &serialNumber);

private:
    [[nodiscard]] QMap<int, QString> resolve() const;

    QString m_configDir;
    DeviceLister m_lister;
    mutable QSet<QString> m_refusedWarned; // lines already logged (refused pins, not understood)
    QMap<int, QString> m_runPins;          // numberFor's numbers, as if pinned
};
