#include "relay/peer_filter.h"

PeerFilter PeerFilter::parse(const QString &text, QStringList *malformed)
{
    PeerFilter filter;
    const QStringList entries = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        filter.m_everyone = false;
        // A plain address is a range of one.
        const QPair<QHostAddress, int> range = entry.contains(QLatin1Char('/'))
            ? QHostAddress::parseSubnet(entry)
            : QPair<QHostAddress, int>(QHostAddress(entry), -1);
        if (range.first.isNull()) {
            if (malformed)
                malformed->append(entry);
            continue;
        }
        const int bits = range.second >= 0 ? range.second
            : range.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        filter.m_ranges.append({range.first, bits});
    }
    return filter;
}

bool PeerFilter::allows(const QHostAddress &peer) const
{
    if (m_everyone)
        return true;
    // An IPv4 peer of a dual-stack listener may come as ::ffff:a.b.c.d.
    bool mapped = false;
    const quint32 v4 = peer.toIPv4Address(&mapped);
    const QHostAddress plain = mapped ? QHostAddress(v4) : peer;
    for (const auto &[network, bits] : m_ranges) {
        if (plain.isInSubnet(network, bits))
            return true;
    }
    return false;
}
