#include "app/announcer.h"

#include "engine/endpoint_table.h"
#include "engine/engine.h"
#include "engine/socket_endpoint.h"
#include "platform/winsock.h"

#include <QSysInfo>

Announcer::Announcer(Engine &engine, const QString &name, QObject *parent)
    : QObject(parent),
      m_engine(engine),
      m_name(name.isEmpty() ? QStringLiteral("Quaylight on %1").arg(QSysInfo::machineHostName()) : name)
{
    connect(&m_timer, &QTimer::timeout, this, &Announcer::check);
    m_timer.start(CheckIntervalMs);
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
    const int server = endpointOf(EndpointRole::ServerListener);
    const Winsock &socket = m_engine.endpoint(server).socket();
    if (socket.State() != Winsock::sckListening) {
        m_service.withdraw();
        return;
    }
    const Engine::Snapshot snapshot = m_engine.snapshot();
    const QString device = snapshot.serialOpen ? snapshot.device : QString();
    if (device != m_device) {
        m_device = device;
        m_usb = device.isEmpty() ? UsbInterface() : UsbInterface::forDevice(device);
    }
    m_service.publish(m_name, QStringLiteral("_iostream._tcp"), quint16(socket.LocalPort()),
                      txtFor(m_engine.network().rfc2217, m_usb));
}
