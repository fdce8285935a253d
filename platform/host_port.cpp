#include "platform/host_port.h"

#include <QHostInfo>

bool HostPort::loopbackOnly() const
{
    for (const QHostAddress &address : addresses) {
        if (address != QHostAddress(QHostAddress::LocalHost)
            && address != QHostAddress(QHostAddress::LocalHostIPv6))
            return false;
    }
    return !addresses.isEmpty();
}

QHostAddress HostPort::preferred() const
{
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address;
    }
    return addresses.isEmpty() ? QHostAddress() : addresses.constFirst();
}

QString HostPort::listenAddress() const
{
    return loopbackOnly() && addresses.size() > 1 ? QStringLiteral("loopback")
                                                  : preferred().toString();
}

std::optional<HostPort> HostPort::parse(const QString &text, QString *why)
{
    const auto fail = [why](const QString &reason) {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return fail(QStringLiteral("no ADDRESS:PORT"));
    HostPort result;
    result.host = text.left(colon);
    const bool bracketed =
        result.host.startsWith(QLatin1Char('[')) && result.host.endsWith(QLatin1Char(']'));
    if (bracketed)
        result.host = result.host.mid(1, result.host.size() - 2);
    else if (result.host.contains(QLatin1Char(':')))
        return fail(QStringLiteral("an IPv6 address needs its brackets"));
    const QString digits = text.mid(colon + 1);
    bool ok = false;
    const uint number = digits.toUInt(&ok);
    if (!ok || number > 65535 || digits.startsWith(QLatin1Char('+')))
        return fail(QStringLiteral("no port from 0 to 65535"));
    result.port = quint16(number);
    if (const QHostAddress literal(result.host); !literal.isNull()) {
        result.addresses = {literal};
        return result;
    }
    if (bracketed || result.host.isEmpty())
        return fail(QStringLiteral("no address"));
    // A name is looked up once, now: the listener binds what it stood for.
    const QHostInfo info = QHostInfo::fromName(result.host);
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
        return fail(QStringLiteral("the host %1 is not known").arg(result.host));
    result.addresses = info.addresses();
    return result;
}
