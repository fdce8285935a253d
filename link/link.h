#pragma once

#include "platform/winsock.h"

#include "engine/com_port_protocol.h"
#include "link/link_device.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

class QTimer;
class Winsock;

// A remote hub's serial port as a local device: the RFC 2217 client side of
// a hub's TCP/IP Server (or of any RFC 2217 server) over a LinkDevice. Bytes
// go both ways unchanged. At each connect the hub is asked for its line;
// the device takes it unless the application has set one of its own, which
// the hub is then asked for. Afterwards each setting the application really
// changes is asked of the hub (a change of echo or the like asks nothing),
// and the hub's answers and notices are logged.
//
// The hub may go away at any time: the device stays, what the application
// writes meanwhile is queued up to QueueLimit bytes (the rest is dropped and
// counted), and the link connects again every ReconnectMs, sends the line
// the application set and then the queue, in order.
class Link : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 QueueLimit = 1024 * 1024;
    static constexpr int ReconnectMs = 3000;
    // Unsent bytes on either side past which the other side is not read.
    static constexpr qint64 HighMark = 256 * 1024;

    Link(QString host, quint16 port, QObject *parent = nullptr);
    ~Link() override;

    // Makes the device at `path`; empty on success, else why not.
    [[nodiscard]] QString createDevice(const QString &path) { return m_device.create(path); }
    [[nodiscard]] const LinkDevice &device() const { return m_device; }

    // Connects with TLS from the next connect on, configured by `setup`
    // (see Winsock::setClientTls).
    void setTls(Winsock::TlsSetup setup);

    // Connects to the hub. The first outcome is reported by firstAttempt.
    void start();
    // Closes the connection and removes the device's link.
    void stop();

signals:
    // The first connection was made (empty) or failed (why).
    void firstAttempt(const QString &failure);

private:
    using Kind = ComPortProtocol::Request::Kind;

    void connectNow();
    void onConnected();
    void onLost(const QString &why);
    void fromHub();
    void fromApplication(const QByteArray &bytes);
    void sendLine();
    // All three queries of the connect were answered: the device takes the
    // hub's line, or the hub is asked for the application's.
    void hubLineKnown();
    // Takes the hub's answer to one of those queries.
    void noteHubLine(const ComPortProtocol::Request &answer);
    void ask(Kind kind, quint32 value);
    void answered(const ComPortProtocol::Request &answer);
    void throttle();
    [[nodiscard]] bool connected() const;

    QString m_host;
    quint16 m_port;
    LinkDevice m_device;
    Winsock *m_socket;
    QTimer *m_reconnect;
    std::unique_ptr<ComPortProtocol> m_protocol; // one per connection
    bool m_everConnected = false;
    bool m_down = true;
    QByteArray m_queue;        // written while the hub was away, IAC not yet doubled
    qint64 m_dropped = 0;      // past the queue's bound since the hub went away
    bool m_lineSet = false;    // the application has set a line of its own
    LinkDevice::Line m_given;  // the line the link last put on the device
    LinkDevice::Line m_sent;   // the hub's line as this connection knows it
    LinkDevice::Line m_hubLine; // the hub's answers to this connection's queries
    int m_queries = 0;         // of them still unanswered
    // What was asked, per command, to tell an answer from a refusal.
    std::map<Kind, QList<quint32>> m_asked;
    quint32 m_hubParity = 0;   // the hub's own parity code, read at connect
};
