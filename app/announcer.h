#pragma once

#include "platform/dns_sd.h"
#include "platform/usb_interface.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

class Hub;

// Announces a hub's TCP/IP Server by DNS-SD as "_iostream._tcp", the way
// serial-server browsers (openHAB's serial discovery among them) look for
// one: published while the server listens, withdrawn while it does not,
// and renewed when its port, RFC 2217 or the device changes. It looks again
// whenever the hub reports a change of the server, the port or the network
// settings, and at nothing in between; nothing in the relay waits for it.
class Announcer : public QObject
{
    Q_OBJECT

public:
    // `name` is the instance name; empty: "Quaylight on HOST".
    Announcer(Hub &hub, const QString &name, QObject *parent = nullptr);

    // The TXT entries for a server that speaks RFC 2217 or not, in front of
    // the device `usb` describes (the USB entries only for a USB device).
    [[nodiscard]] static QMap<QString, QByteArray> txtFor(bool rfc2217, const UsbInterface &usb);

    // Brings the announcement in line with the server now.
    void check();

    // What is asked of the responder now: the server's port (0: nothing,
    // the announcement is withdrawn) and the TXT entries.
    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] const QMap<QString, QByteArray> &txt() const { return m_txt; }
    [[nodiscard]] const QString &name() const { return m_name; }

private:
    Hub &m_hub;
    QString m_name;
    DnsSdService m_service;
    QString m_device; // the device m_usb was read for
    UsbInterface m_usb;
    quint16 m_port = 0;
    QMap<QString, QByteArray> m_txt;
};

// The console, the process's HTTP server (/metrics, /status and the page),
// announced once per process as "_http._tcp", or "_https._tcp" when it
// speaks TLS only, with the TXT entry path=/ that browsers open.
class ConsoleAnnouncer : public QObject
{
    Q_OBJECT

public:
    // `name` is [announce] Name: the instance is "NAME console", or
    // "Quaylight console on HOST" without one. Give the HTTP server as
    // `parent`: the announcement goes with it.
    ConsoleAnnouncer(const QString &name, quint16 port, bool tls, QObject *parent = nullptr);

    // Announces the console, or withdraws it.
    void setOn(bool on);
    [[nodiscard]] bool isOn() const { return m_on; }

    [[nodiscard]] static QString instanceFor(const QString &name);
    [[nodiscard]] static QString typeFor(bool tls);

private:
    QString m_name;
    quint16 m_port;
    bool m_tls;
    bool m_on = false;
    DnsSdService m_service;
};
