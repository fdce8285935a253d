#pragma once

#include "engine/peer_filter.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

class SettingsStore;

// Where the two listeners listen and who may connect to them, whether the
// TCP/IP Server speaks RFC 2217 and how many peers it serves at once:
// Harborcast.ini, section [network].
struct NetworkSettings {
    // ServerPeers: 1 takes the one peer on the listening socket, which stops
    // listening until the tick; KeepListening serves one peer and goes on
    // listening (a newcomer is refused while it is there); 2..MaxServerPeers
    // serve that many at once.
    static constexpr int KeepListening = 0;
    static constexpr int MaxServerPeers = 64;

    QString listenAddress = QStringLiteral("any"); // any, loopback, or one address of this host
    QString allowedPeers;                          // empty: everyone
    bool rfc2217 = false;
    int serverPeers = 1;
    bool kickOldest = false; // a peer over the limit closes the oldest instead of being refused
    // One line a plain peer refused by allowedPeers or by the peer limit gets
    // before the close; empty (the default): nothing.
    QString refusalText;
    static constexpr int MaxRefusalText = 200;

    // refusalText as sent: UTF-8 with CR LF after it; empty when none.
    [[nodiscard]] QByteArray refusalLine() const;

    // "keep" or the number.
    [[nodiscard]] QString serverPeersText() const;
    // Reads "keep" or 1..MaxServerPeers into `peers`; false (and `peers`
    // untouched) for anything else.
    [[nodiscard]] static bool serverPeersFromText(const QString &text, int *peers);
    // True when the TCP/IP Server never stops listening while armed.
    [[nodiscard]] bool keepsListening() const { return serverPeers != 1; }
    // How many peers it serves at once.
    [[nodiscard]] int peerLimit() const { return serverPeers == KeepListening ? 1 : serverPeers; }

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
    // malformed AllowedPeers entry (which is then left out). A malformed
    // ServerPeers reads as 1, with a complaint. Rfc2217 and
    // ServerPeersKickOldest read as flags; anything else is off, with a
    // complaint. A RefusalText that is not one short line is cut at its
    // first line break and to MaxRefusalText characters, with a complaint.
    [[nodiscard]] static NetworkSettings load(const SettingsStore &store, QStringList *complaints);
    // Writes [network]. Throws ComponentError(75) when it cannot.
    void save(SettingsStore &store) const;
};
