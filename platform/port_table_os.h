#pragma once

#include <QHash>
#include <QString>

// The operating-system side of PortTable. Private to platform/; implemented
// per OS (port_table_unix.cpp).
namespace port_table_os {

// The /dev/serial/by-id link names by the canonical path of the device each
// points at (the first name in name order wins when a device has several).
[[nodiscard]] QHash<QString, QString> byIdNames();

} // namespace port_table_os
