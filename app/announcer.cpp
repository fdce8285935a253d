#include "app/announcer.h"

#include "engine/endpoint_table.h"
#include "engine/hub.h"
#include "engine/socket_endpoint.h"
#include "platform/winsock.h"

#include <QSysInfo>

namespace {
const int Server = endpointOf(EndpointRole::ServerListener);
} // namespace

Announcer::Announcer(Hub &hub, const QString &name, QObject *parent)
    : QObject(parent),
      m_hub(hub),
      m_name(name.isEmpty() ? QStringLiteral("Quaylight on %1").arg(QSysInfo::machineHostName()) : name)
{
    // Whatever the announcement says comes from the server's state (its
    // port, listening or not), the device open and the network settings
    // (RFC 2217): each reports its changes.
    connect(&hub, &Hub::endpointChanged, this, [this](int index) {
        if (index == Server)
            check();
    });
    connect(&hub, &Hub::portChanged, this, &Announcer::check);
    connect(&hub, &Engine::networkChanged, this, &Announcer::check);
    connect(&hub, &Engine::listenersStopped, this, &Announcer::check);
    check();
}

QMap<QString, QByteArray> Announcer::txtFor(bool rfc2217, const UsbInterface &usb)
{
    QMap<QString, QByteArray> txt {
        {QStringLiteral("provider"), QByteArrayLiteral("quaylight")},
        {QStringLiteral("gensiostack"), rfc2217 ? QByteArrayLiteral("telnet(rfc2217),tcp") : QByteArrayLiteral("tcp")},
    };
    if (!usb.usb)
        return txt;
    txt.insert(QStringLiteral("devicetype"), QByteArrayLiteral("serialusb"));
    const std::pair<const char *, const QString *> keys[] = {
        {"idVendor", &usb.idVendor}, {"idProduct", &usb.idProduct},
        {"serial", &usb.serial}, {"manufacturer", &usb.manufacturer},
        {"product", &usb.product}, {"bInterfaceNumber", &usb.bInterfaceNumber},
        {"interface", &usb.interface},
    };
    // What the device does not report is left out rather than sent empty.
    for (const auto &[key, value] : keys) {
        if (!value->isEmpty())
            txt.insert(QLatin1String(key), value->toUtf8());
    }
    return txt;
}

void Announcer::check()
{
    const Winsock &socket = m_hub.endpoint(Server).socket();
    if (socket.State() != Winsock::sckListening) {
        m_port = 0;
        m_txt.clear();
        m_service.withdraw();
        return;
    }
    const Engine::Snapshot snapshot = m_hub.snapshot();
    const QString device = snapshot.serialOpen ? snapshot.device : QString();
    if (device != m_device) {
        m_device = device;
        m_usb = device.isEmpty() ? UsbInterface() : UsbInterface::forDevice(device);
    }
    m_port = quint16(socket.LocalPort());
    m_txt = txtFor(m_hub.network().rfc2217, m_usb);
    m_service.publish(m_name, QStringLiteral("_iostream._tcp"), m_port, m_txt);
}

ConsoleAnnouncer::ConsoleAnnouncer(const QString &name, quint16 port, bool tls, QObject *parent)
    : QObject(parent), m_name(instanceFor(name)), m_port(port), m_tls(tls)
{
}

void ConsoleAnnouncer::setOn(bool on)
{
    m_on = on;
    if (on)
        m_service.publish(m_name, typeFor(m_tls), m_port, {{QStringLiteral("path"), QByteArrayLiteral("/")}});
    else
        m_service.withdraw();
}

QString ConsoleAnnouncer::instanceFor(const QString &name)
{
    return name.isEmpty() ? QStringLiteral("Quaylight console on %1").arg(QSysInfo::machineHostName())
                          : name + QStringLiteral(" console");
}

QString ConsoleAnnouncer::typeFor(bool tls)
{
    return tls ? QStringLiteral("_https._tcp") : QStringLiteral("_http._tcp");
}
