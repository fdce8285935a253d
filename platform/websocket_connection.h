#pragma once

#include "platform/connection.h"

#include <QPointer>

class QTcpSocket;
class QTimer;
class QWebSocket;

// A peer over a WebSocket (a browser's terminal), as the relay sees any
// connection: binary messages carry the bytes both ways, text messages are
// not the peer's bytes and are left aside (logged once).
//
// Its backlog is what the WebSocket has not handed to the network yet,
// gathered bytes included. Paused, it stops reading the TCP connection under
// the WebSocket: what the browser sends then waits in that connection's
// buffer (64 KiB) and then in the kernel's, so TCP holds the browser back.
// Qt's WebSocket reads its socket whenever the socket says bytes came, and
// nothing else can stop it reading; so while paused the socket's signals are
// held, and what they would have said (bytes written, the connection gone)
// is looked at on a short clock instead.
class WebSocketConnection : public Connection
{
    Q_OBJECT

public:
    // Takes `socket`, connected (it is a child of this from here), and
    // `transport`, the TCP connection under it.
    WebSocketConnection(QWebSocket *socket, QTcpSocket *transport, QObject *parent = nullptr);
    ~WebSocketConnection() override;

    void SendData(const QByteArray &data) override;
    [[nodiscard]] bool CanSend() const override;
    void setGathering(bool on) override;
    [[nodiscard]] QByteArray GetData() override;
    [[nodiscard]] qint64 BytesToSend() const override;
    void setReceivePaused(bool paused) override;
    [[nodiscard]] bool ReceivePaused() const override { return m_paused; }
    [[nodiscard]] int State() const override { return m_state; }
    void Close() override;
    void Abort() override;
    void StopSending() override { m_stopped = true; }
    [[nodiscard]] qint64 BytesReceived() const override { return m_received.size(); }
    [[nodiscard]] QString RemoteHostIP() const override { return m_address; }
    [[nodiscard]] quint16 PeerPort() const override { return m_port; }
    [[nodiscard]] QString PeerSubject() const override;
    [[nodiscard]] QString Security() const override;
    [[nodiscard]] QList<QSslCertificate> PeerCheckedBy() const override;

    // Closes it with a WebSocket close code and a reason the browser shows.
    void closeWith(int code, const QString &reason);

    // The TCP connection's read buffer while paused.
    static constexpr qint64 PausedBuffer = 64 * 1024;

private:
    void onBinary(const QByteArray &data);
    void onGone();
    void watchPaused();
    void flushGathered();

    QPointer<QWebSocket> m_socket;
    QPointer<QTcpSocket> m_transport;
    QString m_address;
    quint16 m_port = 0;
    int m_state = 7;
    bool m_paused = false;
    bool m_stopped = false;
    bool m_gathering = false;
    bool m_textLogged = false;
    QByteArray m_received;
    QByteArray m_gathered;
    qint64 m_pausedBacklog = 0; // the backlog when the clock last looked
    QTimer *m_pausedClock;
};
