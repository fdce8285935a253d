#include "engine/peer_filter.h"

namespace {

// An IPv4 range in its IPv6-mapped form as the IPv4 range it is; any other
// range as it is.
QPair<QHostAddress, int> unmapped(const QHostAddress &address, int bits)
{
    bool mapped = false;
    const quint32 v4 = address.protocol() == QAbstractSocket::IPv6Protocol
        ? address.toIPv4Address(&mapped)
        : 0;
    if (!mapped || bits < 96)
        return {address, bits};
    return {QHostAddress(v4), bits - 96};
}

} // namespace

PeerFilter PeerFilter::parse(const QString &text, QStringList *malformed)
{
    PeerFilter filter;
    const QStringList entries = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        filter.m_everyone = false;
        if (entry.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
            continue;
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
        filter.m_ranges.append(unmapped(range.first, bits));
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
    // An IPv6 range wide enough to hold ::ffff:0:0/96 (::/0) holds the IPv4
    // peers too.
    const QHostAddress asIPv6 = mapped || plain.protocol() != QAbstractSocket::IPv4Protocol
        ? peer
        : QHostAddress(QStringLiteral("::ffff:") + plain.toString());
    for (const auto &[network, bits] : m_ranges) {
        if (plain.isInSubnet(network, bits) || asIPv6.isInSubnet(network, bits))
            return true;
    }
    return false;
}

QString PeerFilter::describe() const
{
    if (m_everyone)
        return QStringLiteral("everyone");
    if (m_ranges.isEmpty())
        return QStringLiteral("nobody");
    QStringList entries;
    for (const auto &[network, bits] : m_ranges) {
        const int whole = network.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        entries.append(bits == whole ? network.toString()
                                     : network.toString() + QLatin1Char('/') + QString::number(bits));
    }
    return entries.join(QStringLiteral(", "));
}
