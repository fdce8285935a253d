#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Who may connect to a listener: addresses and CIDR ranges, IPv4 and IPv6,
// as written in Harborcast.ini [network] AllowedPeers ("10.0.0.0/8,
// 192.168.1.7, fd00::/8"). An empty list lets everyone in, "none" nobody.
// An IPv4 address or range written in its IPv6-mapped form (::ffff:a.b.c.d,
// ::ffff:0:0/96) is the IPv4 one, as an IPv4 peer of a dual-stack listener
// is.
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
    // The rules in effect, for the log: "everyone", "nobody" or the valid
    // entries ("10.0.0.0/8, 192.168.0.7").
    [[nodiscard]] QString describe() const;

private:
    QList<QPair<QHostAddress, int>> m_ranges;
    bool m_everyone = true;
};
