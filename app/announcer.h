#pragma once

#include "platform/dns_sd.h"
#include "platform/usb_interface.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

class Engine;

// Announces the hub's TCP/IP Server by DNS-SD as "_iostream._tcp", the way
// serial-server browsers (openHAB's serial discovery among them) look for
// one: published while the server listens, withdrawn while it does not,
// and renewed when its port, RFC 2217 or the device changes. It looks at
// the engine a few times a second; nothing in the relay waits for it.
class Announcer : public QObject
{
    Q_OBJECT

public:
    static constexpr int CheckIntervalMs = 250;

    // `name` is the instance name; empty: "Quaylight on HOST".
    Announcer(Engine &engine, const QString &name, QObject *parent = nullptr);

    // The TXT entries for a server that speaks RFC 2217 or not, in front of
    // the device `usb` describes (the USB entries only for a USB device).
    [[nodiscard]] static QMap<QString, QByteArray> txtFor(bool rfc2217, const UsbInterface &usb);

    // Brings the announcement in line with the server now.
    void check();

private:
    Engine &m_engine;
    QString m_name;
    DnsSdService m_service;
    QTimer m_timer;
    QString m_device; // the device m_usb was read for
    UsbInterface m_usb;
};
