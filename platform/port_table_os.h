#pragma once

#include <QHash>
#include <QString>

// The operating-system side of PortTable. Private to platform/; implemented
// per OS (port_table_unix.cpp).
namespace port_table_os {

// The /dev/serial/by-id link names by the canonical path of the device each
// points at (the first name in name order wins when a device has several).
[[nodiscard]] QHash<QString, QString> byIdNames();

// True when a running process holds the lock file that serial programs
// (Qt's among them) keep for the device at `path` while they have it open.
// Reads the lock file only; opens no device.
[[nodiscard]] bool lockedByProcess(const QString &path);

} // namespace port_table_os
