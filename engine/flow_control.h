#pragma once

#include "engine/endpoint_table.h"

#include <QElapsedTimer>
#include <QObject>

#include <array>
#include <vector>

class QTimer;
class SerialComm;
class Connection;

// Back-pressure for the relay, along the route table. A destination whose
// unsent bytes pass its high mark is congested until they drain below the
// low mark; while one is, every source whose chunks go to it stops reading
// (TCP's own flow control then holds the peers), so nothing is dropped and no
// buffer grows without bound.
//
// The serial port is paused the same way only when pausing holds its sender
// (flow control on the line, or a device that holds it by itself); a plain
// UART would lose bytes in its few KiB of buffers instead. Without that, its
// chunks queue at a slow socket destination up to serialQueueLimit, beyond
// which that destination is reported as overflowed.
//
// A socket is also its own destination: the replies the hub makes to what a
// peer sent (RFC 2217 answers) queue on that peer's socket. So a socket whose
// own unsent bytes are over its high mark is not read either until they drain
// below the low mark, whatever its other destinations do: a peer that sends
// and never reads holds itself, not the hub's memory.
//
// A socket over its high mark that makes no progress at all for the stall
// time is reported as stalled, so one dead receiver cannot hold the hub; one
// over serialQueueLimit for the stall time is reported as well, progress or
// not, so a trickle of reading does not keep a peer over the bound forever.
class FlowControl : public QObject
{
    Q_OBJECT

public:
    struct Limits {
        qint64 serialHigh = 64 * 1024;
        qint64 serialLow = 32 * 1024;
        qint64 socketHigh = 256 * 1024;
        qint64 socketLow = 128 * 1024;
        qint64 serialQueueLimit = 1024 * 1024; // about 30 s at 230400 bit/s
        int stallMs = 30000;
    };

    // `sockets` and `serial` must outlive this object.
    FlowControl(const std::array<Connection *, EndpointCount> &sockets, SerialComm &serial,
                QObject *parent = nullptr);

    void setLimits(const Limits &limits);
    [[nodiscard]] const Limits &limits() const { return m_limits; }

    // A further connection of endpoint `node` (a peer of a listener that
    // serves several): a destination under the same rules as the endpoint's
    // own socket, counted towards the node's congestion. It must stay alive
    // until removePeer.
    void addPeer(int node, Connection &socket);
    void removePeer(const Connection &socket);

    // Re-reads every destination's backlog and pauses or resumes the sources.
    void update();
    // update(), but only when a backlog crossed a mark since the last one
    // (over a high mark, back under a low mark, past the bound or back
    // within it) or a held destination came or went: called after each
    // relayed chunk and on every write progress, it costs a few compares
    // per destination when nothing changed.
    void check();

    // Holds socket destination `socket` as if it were full (its peer asked
    // the hub to stop sending), or lets it go again.
    void setHeld(const Connection &socket, bool held);

    // True while route node `node` (0..3 sockets, SerialNode) is congested.
    [[nodiscard]] bool congested(int node) const { return m_congested[std::size_t(node)]; }

signals:
    // `socket` of endpoint `index` made no progress for the stall time
    // while over its high mark, or stayed over serialQueueLimit that long
    // (`why` says which, for the log); the owner should drop it.
    void destinationStalled(Connection *socket, int index, const QString &why);
    // `socket` of endpoint `index` holds more than serialQueueLimit unsent
    // bytes while the serial port cannot be paused; the owner should drop it.
    void destinationOverflowed(Connection *socket, int index);

private:
    // One socket destination: an endpoint's own socket or one of its peers.
    struct Destination {
        int node = 0;
        Connection *socket = nullptr;
        bool full = false; // over the socket high mark (hysteresis)
        bool held = false;
        bool heldCounted = false; // held while connected, at the last update
        QElapsedTimer lastProgress;
        QElapsedTimer overBoundSince; // invalid while within it
    };
    void add(int node, Connection &socket);
    [[nodiscard]] bool crossedMark() const;
    void onSocketProgress(const Connection *socket);
    void checkStalls();

    SerialComm &m_serial;
    Limits m_limits;
    std::array<bool, NodeCount> m_congested {};
    bool m_serialCongested = false; // the serial port's own hysteresis
    std::vector<Destination> m_destinations; // the endpoints' own sockets first
    QTimer *m_watch = nullptr; // runs while anything is congested
};
