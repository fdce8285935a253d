#pragma once

#include "engine/com_port_protocol.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class FlowControl;
class QTimer;
class SerialBridge;
class SocketEndpoint;

// Remote port control of the serial port by the peer of the endpoint that
// speaks RFC 2217, while it is on: the Telnet session is decoded on the way
// in and IAC is doubled on the way out; each port request is applied to the
// open port and answered with the value in effect.
class RemoteSession : public QObject
{
    Q_OBJECT

public:
    // All three must outlive this.
    RemoteSession(SocketEndpoint &endpoint, SerialBridge &serial, FlowControl &flow,
                  QObject *parent = nullptr);
    ~RemoteSession() override;

    // A new peer starts a new session, whatever the last one left; `on` says
    // whether it speaks RFC 2217 (greeted at once) or plain bytes.
    void start(bool on);
    [[nodiscard]] bool active() const { return m_protocol != nullptr; }

    // The device data in `chunk` with the Telnet commands answered and taken
    // out. Only while active.
    [[nodiscard]] QByteArray fromPeer(const QByteArray &chunk);
    // Sends device data to the peer with IAC doubled, or holds it while the
    // peer asked so; past `holdLimit` held bytes, overflowed(). Only while
    // active; throws ComponentError as SendData does.
    void toPeer(const QByteArray &chunk, qint64 holdLimit);

signals:
    // The peer held back more than it may; the owner should drop it.
    void overflowed(qint64 limit);

private:
    void request(const ComPortProtocol::Request &request);
    void control(quint32 value, const std::function<void(quint32)> &answer);
    void pollModemLines();
    void send(const QByteArray &bytes);

    SocketEndpoint &m_endpoint;
    SerialBridge &m_serial;
    FlowControl &m_flow;
    std::unique_ptr<ComPortProtocol> m_protocol; // null while off
    // The device data held while its peer suspended it, the masks it asked for.
    QByteArray m_held;
    bool m_suspended = false;
    quint8 m_modemMask = 0;
    quint8 m_lineMask = 0;
    quint8 m_lastModem = 0;
    QTimer *m_modemPoll;
};
