#pragma once

#include "engine/endpoint_table.h"

#include <QElapsedTimer>
#include <QtGlobal>

#include <memory>
#include <vector>

class Connection;
class QObject;
class RemoteSession;
class Winsock;

// One socket endpoint of the relay: its row (what its role can do), its
// Winsock, whether the supervision tick keeps it up, the received bytes it
// still holds after its peer closed, and what has flowed through it. A
// listener that goes on listening while it serves peers ([network]
// ServerPeers other than 1) holds each peer as an endpoint of the same row
// with a socket and counters of its own.
class SocketEndpoint
{
public:
    // The socket is a child of `owner`.
    SocketEndpoint(const EndpointRow &row, QObject *owner);
    // A peer over another transport than the socket component (a browser's
    // terminal): `connection`, owned by whoever made it. It has no Winsock.
    SocketEndpoint(const EndpointRow &row, Connection &connection);

    [[nodiscard]] const EndpointRow &row() const { return m_row; }
    [[nodiscard]] int index() const { return m_row.index; }
    // Its socket; a peer over another transport has none (see connection()).
    [[nodiscard]] Winsock &socket() const { return *m_socket; }
    [[nodiscard]] bool hasSocket() const { return m_socket != nullptr; }
    // The connection as the relay's byte paths and the peer rules see it:
    // the socket, or the other transport's.
    [[nodiscard]] Connection &connection() const { return *m_connection; }
    [[nodiscard]] bool connected() const;
    // Takes bytes for its peer: connected, or its peer closed and may
    // still read (it may have closed only its sending side).
    [[nodiscard]] bool canSend() const;
    // The state the operator sees: connected (7) while its own socket or
    // any of its peers is, else its own socket's.
    [[nodiscard]] int state() const;
    // Peers connected now (state 7); a peer that closed is not counted.
    [[nodiscard]] int connectedPeers() const;

    // Peers accepted while listening goes on, oldest first; one that closed
    // stays until it is let go (its last bytes relayed, or the tick).
    std::vector<std::unique_ptr<SocketEndpoint>> peers;
    // The RFC 2217 session of this endpoint's peer, if its row speaks it.
    RemoteSession *session = nullptr;

    // Kept up by the supervision tick (Connect, or Listen for the TCP/IP
    // Server); the operator's Close lets it go.
    bool armed = false;

    // True while the endpoint still holds received bytes that its
    // destinations may yet take: held bytes that went down start the stall
    // clock again; after `stallMs` without that they are let go (logged).
    [[nodiscard]] bool holding(int stallMs);

    quint64 received = 0; // bytes taken from the peer
    quint64 sent = 0;     // bytes handed to the socket for the peer
    qint64 lastReceivedMs = 0; // when the last of them passed (ms since the epoch)
    qint64 lastSentMs = 0;
    quint64 refused = 0;  // peers turned away by AllowedPeers
    quint64 refusedTls = 0; // peers whose TLS handshake failed, or that lacked it
    quint64 refusedLimit = 0; // peers closed at once over the peer limit

    // Notes that a peer was accepted on this endpoint's socket now: the
    // start of its time and of its share of the counters.
    void peerAccepted();
    // When the current peer was accepted (ms since the epoch; 0: none yet),
    // and the bytes each way since then.
    [[nodiscard]] qint64 peerSinceMs() const { return m_peerSinceMs; }
    [[nodiscard]] quint64 peerReceived() const { return received - m_receivedBefore; }
    [[nodiscard]] quint64 peerSent() const { return sent - m_sentBefore; }

private:
    EndpointRow m_row;
    Winsock *m_socket;
    Connection *m_connection;
    qint64 m_heldBytes = 0;
    QElapsedTimer m_heldSince;
    qint64 m_peerSinceMs = 0;
    quint64 m_receivedBefore = 0;
    quint64 m_sentBefore = 0;
};
