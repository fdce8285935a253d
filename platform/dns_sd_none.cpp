// DnsSdService where the system offers no mDNS responder we talk to: it
// says so once and announces nothing.
#include "platform/dns_sd.h"

#include "platform/log_categories.h"

struct DnsSdService::Private {
    bool told = false;
};

DnsSdService::DnsSdService(QObject *parent) : QObject(parent), d(std::make_unique<Private>()) {}

DnsSdService::~DnsSdService() = default;

void DnsSdService::publish(const QString &, const QString &, quint16, const QMap<QString, QByteArray> &)
{
    if (!d->told)
        qCWarning(lcNet, "DNS-SD is not available here");
    d->told = true;
}

void DnsSdService::withdraw() {}

QString DnsSdService::announcedName() const
{
    return {};
}
