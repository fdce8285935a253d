#include "engine/socket_endpoint.h"

#include "platform/log_categories.h"
#include "platform/winsock.h"

#include <QDateTime>

SocketEndpoint::SocketEndpoint(const EndpointRow &row, QObject *owner)
    : m_row(row), m_socket(new Winsock(owner)), m_connection(m_socket)
{
}

SocketEndpoint::SocketEndpoint(const EndpointRow &row, Connection &connection)
    : m_row(row), m_socket(nullptr), m_connection(&connection)
{
}

bool SocketEndpoint::connected() const
{
    return m_connection->State() == Winsock::sckConnected;
}

bool SocketEndpoint::canSend() const
{
    return m_connection->CanSend();
}

int SocketEndpoint::state() const
{
    return connectedPeers() > 0 ? int(Winsock::sckConnected) : m_connection->State();
}

void SocketEndpoint::peerAccepted()
{
    m_peerSinceMs = QDateTime::currentMSecsSinceEpoch();
    m_receivedBefore = received;
    m_sentBefore = sent;
}

int SocketEndpoint::connectedPeers() const
{
    int count = 0;
    for (const auto &peer : peers)
        count += peer->connected() ? 1 : 0;
    return count;
}

bool SocketEndpoint::holding(int stallMs)
{
    const qint64 held = m_connection->BytesReceived();
    if (held == 0) {
        m_heldBytes = 0;
        return false;
    }
    if (held != m_heldBytes) {
        m_heldBytes = held;
        m_heldSince.start();
        return true;
    }
    if (m_heldSince.elapsed() < stallMs)
        return true;
    // Its destinations took nothing for the stall time: let it go.
    qCWarning(lcNet, "%s: %lld received bytes dropped, their destinations took nothing "
                     "for %d s",
              endpointName(index()), held, stallMs / 1000);
    m_heldBytes = 0;
    return false;
}
