#pragma once

#include "engine/peer_filter.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

class SettingsStore;

// Where the two listeners listen and who may connect to them, and whether
// the TCP/IP Server speaks RFC 2217: Harborcast.ini, section [network].
struct NetworkSettings {
    QString listenAddress = QStringLiteral("any"); // any, loopback, or one address of this host
    QString allowedPeers;                          // empty: everyone
    bool rfc2217 = false;

    friend bool operator==(const NetworkSettings &, const NetworkSettings &) = default;

    // The addresses a listener binds: any is IPv4 and IPv6 (dual stack),
    // loopback is 127.0.0.1 and ::1. Empty when listenAddress is none of the
    // three forms.
    [[nodiscard]] QList<QHostAddress> listenAddresses() const;
    // The filter of allowedPeers; its malformed entries go to `malformed`.
    [[nodiscard]] PeerFilter peerFilter(QStringList *malformed) const;
    // What is wrong with these settings for an operator who just typed them;
    // empty when nothing is.
    [[nodiscard]] QString problem() const;

    // Reads [network]. A malformed ListenAddress reads as loopback (never
    // wider than meant) and adds a line to `complaints`, as does each
    // malformed AllowedPeers entry (which is then left out).
    [[nodiscard]] static NetworkSettings load(const SettingsStore &store, QStringList *complaints);
    // Writes [network]. Throws ComponentError(75) when it cannot.
    void save(SettingsStore &store) const;
};
