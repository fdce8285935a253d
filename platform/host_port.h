#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

// "ADDRESS:PORT" as the command line and the settings write a place to
// listen on: 127.0.0.1:9471, [::1]:9471 (an IPv6 address in brackets), or a
// host name, localhost:9471, looked up when it is read.
struct HostPort {
    QString host;                  // as written, without brackets
    QList<QHostAddress> addresses; // the address, or what the name stands for
    quint16 port = 0;

    // True when the addresses are this host's loopback ones only
    // (127.0.0.1, ::1): "localhost".
    [[nodiscard]] bool loopbackOnly() const;
    // The address to serve one socket on: the first IPv4 one, else the first.
    [[nodiscard]] QHostAddress preferred() const;

    // Where a listener on this place listens, as a listen address setting
    // takes it: "loopback" for a name that stands for both of this host's
    // loopback addresses (localhost), else the preferred address.
    [[nodiscard]] QString listenAddress() const;

    // Reads `text`; nothing, with `why` saying what is wrong, when it is no
    // ADDRESS:PORT with a port from 0 to 65535 or the name stands for no
    // address.
    [[nodiscard]] static std::optional<HostPort> parse(const QString &text, QString *why);
};
