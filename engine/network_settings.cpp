#include "engine/network_settings.h"

#include "engine/settings_store.h"
#include "platform/flag_text.h"

#include <QRegularExpression>

namespace {
const QString Harborcast = QStringLiteral("Harborcast");
const QString Network = QStringLiteral("network");
} // namespace

QList<QHostAddress> NetworkSettings::listenAddresses() const
{
    const QString text = listenAddress.trimmed();
    if (text.compare(QLatin1String("any"), Qt::CaseInsensitive) == 0)
        return {QHostAddress(QHostAddress::Any)};
    if (text.compare(QLatin1String("loopback"), Qt::CaseInsensitive) == 0)
        return {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    const QHostAddress address(text);
    if (address.isNull())
        return {};
    return {address};
}

namespace {
// The first line of `text`, without control characters, at most
// MaxRefusalText characters.
QString oneLine(const QString &text)
{
    QString line = text.trimmed().section(QRegularExpression(QStringLiteral("[\r\n]")), 0, 0);
    line.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    return line.left(NetworkSettings::MaxRefusalText).trimmed();
}
} // namespace

PeerFilter NetworkSettings::peerFilter(QStringList *malformed) const
{
    return PeerFilter::parse(allowedPeers, malformed);
}

QString NetworkSettings::problem() const
{
    if (listenAddresses().isEmpty())
        return QStringLiteral("The listen address \"%1\" is not any, loopback or an address.")
            .arg(listenAddress);
    QStringList malformed;
    (void)peerFilter(&malformed);
    if (!malformed.isEmpty())
        return QStringLiteral("Allowed peers: \"%1\" is not an address or a range.")
            .arg(malformed.join(QStringLiteral("\", \"")));
    return {};
}

NetworkSettings NetworkSettings::load(const SettingsStore &store, QStringList *complaints)
{
    NetworkSettings network;
    const auto read = [&store](const char *key, const QString &fallback, const char *closed,
                               const char *meaning) {
        return store.read(Harborcast, Network, QLatin1String(key), fallback,
                          QLatin1String(closed), QLatin1String(meaning));
    };
    network.listenAddress = read("ListenAddress", network.listenAddress, "loopback", "loopback");
    if (network.listenAddresses().isEmpty()) {
        if (complaints)
            complaints->append(QStringLiteral("Harborcast.ini [network] ListenAddress=%1 is not "
                                              "any, loopback or an address; listening on loopback")
                                   .arg(network.listenAddress));
        network.listenAddress = QStringLiteral("loopback");
    }
    // Who may connect fails closed: a value that cannot be read lets nobody
    // in, never everyone.
    network.allowedPeers = read("AllowedPeers", QString(), "none", "none: nobody may connect");
    QStringList malformed;
    const PeerFilter filter = network.peerFilter(&malformed);
    if (complaints) {
        for (const QString &entry : malformed)
            complaints->append(QStringLiteral("Harborcast.ini [network] AllowedPeers: \"%1\" is "
                                              "not an address or a range; ignored")
                                   .arg(entry));
        if (!malformed.isEmpty() && filter.describe() == QLatin1String("nobody"))
            complaints->append(QStringLiteral("Harborcast.ini [network] AllowedPeers names no "
                                              "valid entry; nobody may connect"));
    }
    // Off unless written on: a peer that may set the line is a choice.
    network.rfc2217 = store.readFlag(Harborcast, Network, QStringLiteral("Rfc2217"), false, false,
                                     complaints);
    const QString peers = read("ServerPeers", QStringLiteral("1"), "1", "one peer");
    if (!serverPeersFromText(peers, &network.serverPeers) && complaints)
        complaints->append(QStringLiteral("Harborcast.ini [network] ServerPeers=%1 is not keep or "
                                          "a number from 1 to %2; serving one peer")
                               .arg(peers)
                               .arg(MaxServerPeers));
    network.kickOldest = store.readFlag(Harborcast, Network, QStringLiteral("ServerPeersKickOldest"),
                                        false, false, complaints);
    const QString text = read("RefusalText", QString(), "", "no refusal text");
    network.refusalText = oneLine(text);
    if (network.refusalText != text.trimmed() && complaints)
        complaints->append(QStringLiteral("Harborcast.ini [network] RefusalText is not one line of at most "
                                          "%1 characters; sending \"%2\"")
                               .arg(MaxRefusalText)
                               .arg(network.refusalText));
    return network;
}

QByteArray NetworkSettings::refusalLine() const
{
    const QString line = oneLine(refusalText);
    return line.isEmpty() ? QByteArray() : line.toUtf8() + "\r\n";
}

void NetworkSettings::save(SettingsStore &store) const
{
    store.write(Harborcast, Network, QStringLiteral("ListenAddress"), listenAddress);
    store.write(Harborcast, Network, QStringLiteral("AllowedPeers"), allowedPeers);
    store.write(Harborcast, Network, QStringLiteral("Rfc2217"), flag_text::write(rfc2217));
    store.write(Harborcast, Network, QStringLiteral("ServerPeers"), serverPeersText());
    store.write(Harborcast, Network, QStringLiteral("ServerPeersKickOldest"),
                flag_text::write(kickOldest));
    store.write(Harborcast, Network, QStringLiteral("RefusalText"), refusalText);
}

QString NetworkSettings::serverPeersText() const
{
    return serverPeers == KeepListening ? QStringLiteral("keep") : QString::number(serverPeers);
}

bool NetworkSettings::serverPeersFromText(const QString &text, int *peers)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("keep"), Qt::CaseInsensitive) == 0) {
        *peers = KeepListening;
        return true;
    }
    bool ok = false;
    const int number = trimmed.toInt(&ok);
    if (!ok || number < 1 || number > MaxServerPeers)
        return false;
    *peers = number;
    return true;
}
