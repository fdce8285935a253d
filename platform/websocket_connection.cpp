#include "platform/websocket_connection.h"

#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/tls_listener.h"
#include "platform/winsock.h"

#include <QSslCertificate>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

WebSocketConnection::WebSocketConnection(QWebSocket *socket, QTcpSocket *transport, QObject *parent)
    : Connection(parent), m_socket(socket), m_transport(transport), m_pausedClock(new QTimer(this))
{
    socket->setParent(this);
    const QString address = socket->peerAddress().toString();
    m_address = address.startsWith(QLatin1String("::ffff:")) ? address.mid(7) : address;
    m_port = socket->peerPort();
    m_pausedClock->setInterval(20);
    connect(m_pausedClock, &QTimer::timeout, this, &WebSocketConnection::watchPaused);
    connect(socket, &QWebSocket::binaryMessageReceived, this, &WebSocketConnection::onBinary);
    connect(socket, &QWebSocket::textMessageReceived, this, [this] {
        if (!std::exchange(m_textLogged, true))
            qCInfo(lcNet, "terminal %s:%u: text messages are not the device's bytes and are ignored",
                   qUtf8Printable(m_address), unsigned(m_port));
    });
    connect(socket, &QWebSocket::bytesWritten, this, [this](qint64 bytes) { emit BytesSent(bytes); });
    connect(socket, &QWebSocket::disconnected, this, &WebSocketConnection::onGone);
}

WebSocketConnection::~WebSocketConnection()
{
    if (m_transport)
        m_transport->blockSignals(false);
}

void WebSocketConnection::SendData(const QByteArray &data)
{
    if (!CanSend())
        throw ComponentError(WinsockCode::BadState, QStringLiteral("the terminal is closed"));
    if (m_gathering) {
        m_gathered.append(data);
        return;
    }
    m_socket->sendBinaryMessage(data);
}

bool WebSocketConnection::CanSend() const
{
    return m_socket && m_state == 7 && !m_stopped;
}

void WebSocketConnection::setGathering(bool on)
{
    m_gathering = on;
    if (!on)
        flushGathered();
}

void WebSocketConnection::flushGathered()
{
    if (m_gathered.isEmpty())
        return;
    // Handed over also when the peer closed meanwhile, as far as it goes.
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->sendBinaryMessage(m_gathered);
    m_gathered.clear();
}

QByteArray WebSocketConnection::GetData()
{
    return std::exchange(m_received, {});
}

qint64 WebSocketConnection::BytesToSend() const
{
    return (m_socket ? m_socket->bytesToWrite() : 0) + m_gathered.size();
}

void WebSocketConnection::onBinary(const QByteArray &data)
{
    m_received.append(data);
    if (!m_paused)
        emit DataArrival(m_received.size());
}

void WebSocketConnection::setReceivePaused(bool paused)
{
    if (paused == m_paused || !m_transport)
        return;
    m_paused = paused;
    if (paused) {
        m_transport->setReadBufferSize(PausedBuffer);
        m_transport->blockSignals(true);
        m_pausedBacklog = BytesToSend();
        m_pausedClock->start();
        return;
    }
    m_pausedClock->stop();
    m_transport->blockSignals(false);
    m_transport->setReadBufferSize(0);
    // What came meanwhile is read now, and what it held is announced.
    if (m_transport->bytesAvailable() > 0)
        emit m_transport->readyRead();
    if (m_transport->state() != QAbstractSocket::ConnectedState)
        emit m_transport->disconnected();
    if (!m_received.isEmpty())
        emit DataArrival(m_received.size());
}

void WebSocketConnection::watchPaused()
{
    if (!m_transport || m_transport->state() != QAbstractSocket::ConnectedState) {
        setReceivePaused(false); // the WebSocket learns it is gone
        return;
    }
    const qint64 backlog = BytesToSend();
    if (backlog < m_pausedBacklog)
        emit BytesSent(m_pausedBacklog - backlog);
    m_pausedBacklog = backlog;
}

void WebSocketConnection::onGone()
{
    if (m_state != 7)
        return;
    m_state = 8;
    emit PeerClosed();
}

void WebSocketConnection::closeWith(int code, const QString &reason)
{
    flushGathered();
    m_state = 0;
    if (m_socket)
        m_socket->close(QWebSocketProtocol::CloseCode(code), reason);
}

void WebSocketConnection::Close()
{
    closeWith(QWebSocketProtocol::CloseCodeNormal, QString());
}

void WebSocketConnection::Abort()
{
    m_gathered.clear();
    m_state = 0;
    if (m_socket)
        m_socket->abort();
}

QString WebSocketConnection::Security() const
{
    return m_transport ? Tls::describe(*m_transport) : QString();
}

QList<QSslCertificate> WebSocketConnection::PeerCheckedBy() const
{
    const auto *secure = qobject_cast<const QSslSocket *>(m_transport.data());
    if (!secure || !secure->isEncrypted() || secure->peerCertificate().isNull())
        return {};
    return secure->sslConfiguration().caCertificates();
}

QString WebSocketConnection::PeerSubject() const
{
    const auto *secure = qobject_cast<const QSslSocket *>(m_transport.data());
    if (!secure || !secure->isEncrypted() || secure->peerCertificate().isNull())
        return {};
    return secure->peerCertificate().subjectDisplayName();
}
