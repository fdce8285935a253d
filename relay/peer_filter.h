#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Who may connect to a listener: addresses and CIDR ranges, IPv4 and IPv6,
// as written in Harborcast.ini [network] AllowedPeers ("10.0.0.0/8,
// 192.168.1.7, fd00::/8"). An empty list lets everyone in.
class PeerFilter
{
public:
    // Everyone may connect.
    PeerFilter() = default;

    // Parses a comma-separated list. Entries that are not an address or a
    // range are left out and listed in `malformed`; a list that names
    // anything at all, even only malformed entries, lets in only what it
    // names validly, never everyone.
    [[nodiscard]] static PeerFilter parse(const QString &text, QStringList *malformed);

    [[nodiscard]] bool allows(const QHostAddress &peer) const;
    [[nodiscard]] bool allowsEveryone() const { return m_everyone; }

private:
    QList<QPair<QHostAddress, int>> m_ranges;
    bool m_everyone = true;
};
