#pragma once

#include "engine/network_settings.h"
#include "engine/tls_settings.h"
#include "platform/line_settings.h"

#include <QList>
#include <QString>
#include <QStringList>

// One device of a devices file: a section such as
//
//   [plc1]
//   Device=/dev/ttyUSB0      ; a device path, or a port number 1..64 from ports.ini
//   Listen=8001              ; PORT or ADDRESS:PORT, as --listen
//   Baud=115200
//   AllowedPeers=10.0.0.0/8
//
// Its keys take the names and values of the command line (Device, Listen,
// Baud, Framing, Flow, KickOldest) and of the settings files: Harborcast.ini
// [network] and [tls], the forwarders' RemoteHost/RemotePort and
// RemoteHost3/RemotePort3 of [startup], Tolvar.ini [line]. [announce]
// Enabled and Name are Announce and AnnounceName here (Enabled is [tls]'s):
//
//   Announce=true            ; the TCP/IP Server announced by DNS-SD
//   AnnounceName=Lab bench 3 ; its instance name; without one, the section's
struct DeviceConfig {
    // A forwarder: off unless both its host and its port are given.
    struct Forwarder {
        QString host;
        quint16 port = 0; // 1..65535; 0: off

        [[nodiscard]] bool on() const { return port != 0; }
        friend bool operator==(const Forwarder &, const Forwarder &) = default;
    };

    QString name;      // the section's name: the hub's log prefix and metrics label
    QString device;    // Device= a device path; empty when portNumber is set
    int portNumber = 0; // Device= a number from ports.ini, 1..64
    bool listen = false;     // Listen= given: the TCP/IP Server listens at start
    quint16 listenPort = 0;  // 0: the system chooses
    NetworkSettings network;
    LineSettings line;
    TlsSettings tls;
    Forwarder softwareForwarder; // RemoteHost, RemotePort
    Forwarder dataHostForwarder; // RemoteHost3, RemotePort3
    bool announce = false;   // Announce=: the TCP/IP Server announced by DNS-SD
    QString announceName;    // AnnounceName=, only with Announce; empty: the section's name

    // The DNS-SD instance name, when it announces.
    [[nodiscard]] QString announcedName() const { return announceName.isEmpty() ? name : announceName; }

    // Equal sections leave a running hub alone when the file is read again.
    friend bool operator==(const DeviceConfig &, const DeviceConfig &) = default;
};

// A devices file as read: the sections that can run, the ones that cannot
// and why, and what was not understood.
struct DeviceList {
    QList<DeviceConfig> devices; // in file order
    // One line per section that cannot run, "plc1: why": a name that cannot
    // be a label, no usable Device, a Listen that is not a port, AllowedPeers
    // or TLS settings that cannot be used, a line that is no KEY=VALUE, a
    // device, listen port or announced name an earlier section already has
    // (names compared without case, as DNS-SD compares them). Security fails
    // closed: such a section is left out whole.
    QStringList refused;
    // One line per key or value not understood, naming the file, section and
    // key and what is used instead; the section runs without it.
    QStringList complaints;
    // Why the file could not be read at all (missing, unreadable); empty
    // when it was read.
    QString error;

    // Reads the devices file at `path`. `configDir` holds ports.ini: a port
    // number and a device path standing for the same device are one device.
    // TLS files are checked as a listener or a forwarder would load them.
    // Never throws.
    [[nodiscard]] static DeviceList read(const QString &path, const QString &configDir);
};

// What reading a devices file again changes, by section name: `added` and
// `changed` and `unchanged` in the new file's order, `removed` in the old
// one's. A section refused now is removed. A file that could not be read
// again (`after.error`) changes nothing: every running section is unchanged.
struct DeviceChanges {
    QStringList added;
    QStringList changed;
    QStringList removed;
    QStringList unchanged;
};

[[nodiscard]] DeviceChanges compare(const DeviceList &before, const DeviceList &after);
