#include "engine/flow_control.h"

#include "platform/serial_comm.h"
#include "platform/connection.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {
// Hysteresis: congested above `high`, free again below `low`.
bool congestedNow(bool wasCongested, qint64 backlog, qint64 high, qint64 low)
{
    return wasCongested ? backlog >= low : backlog > high;
}
} // namespace

FlowControl::FlowControl(const std::array<Connection *, EndpointCount> &sockets, SerialComm &serial,
                         QObject *parent)
    : QObject(parent), m_serial(serial), m_watch(new QTimer(this))
{
    // Also catches a congested destination that closed without a progress
    // signal, so its sources resume within a fraction of a second.
    m_watch->setInterval(250);
    connect(m_watch, &QTimer::timeout, this, [this] {
        update();
        checkStalls();
    });
    for (int i = 0; i < EndpointCount; ++i)
        add(i, *sockets[std::size_t(i)]);
    connect(&m_serial, &SerialComm::BytesWritten, this, [this] { check(); });
}

void FlowControl::add(int node, Connection &socket)
{
    Destination destination;
    destination.node = node;
    destination.socket = &socket;
    destination.lastProgress.start();
    m_destinations.push_back(destination);
    connect(&socket, &Connection::BytesSent, this, [this, s = &socket] { onSocketProgress(s); });
}

void FlowControl::addPeer(int node, Connection &socket)
{
    add(node, socket);
    update();
}

void FlowControl::removePeer(const Connection &socket)
{
    disconnect(&socket, nullptr, this, nullptr);
    std::erase_if(m_destinations, [&](const Destination &d) { return d.socket == &socket; });
    update();
}

void FlowControl::setLimits(const Limits &limits)
{
    m_limits = limits;
    update();
}

void FlowControl::setHeld(const Connection &socket, bool held)
{
    for (Destination &destination : m_destinations) {
        if (destination.socket == &socket)
            destination.held = held;
    }
    update();
}

void FlowControl::onSocketProgress(const Connection *socket)
{
    for (Destination &destination : m_destinations) {
        if (destination.socket == socket)
            destination.lastProgress.start();
    }
    check();
}

bool FlowControl::crossedMark() const
{
    for (const Destination &d : m_destinations) {
        const Connection &socket = *d.socket;
        const bool connected = socket.CanSend();
        const qint64 backlog = connected ? socket.BytesToSend() : 0;
        if ((connected && congestedNow(d.full, backlog, m_limits.socketHigh, m_limits.socketLow))
                != d.full
            || (backlog > m_limits.serialQueueLimit) != d.overBoundSince.isValid()
            || (connected && d.held) != d.heldCounted)
            return true;
    }
    return (m_serial.PortOpen()
            && congestedNow(m_serialCongested, m_serial.OutBufferCount(), m_limits.serialHigh,
                            m_limits.serialLow))
        != m_serialCongested;
}

void FlowControl::check()
{
    if (crossedMark())
        update();
}

void FlowControl::update()
{
    m_congested.fill(false);
    for (Destination &d : m_destinations) {
        const Connection &socket = *d.socket;
        const bool connected = socket.CanSend();
        const qint64 backlog = connected ? socket.BytesToSend() : 0;
        const bool full =
            connected && congestedNow(d.full, backlog, m_limits.socketHigh, m_limits.socketLow);
        if (full && !d.full)
            d.lastProgress.start(); // the stall clock starts with the congestion
        d.full = full;
        d.heldCounted = connected && d.held;
        if (full || d.heldCounted)
            m_congested[std::size_t(d.node)] = true;
        if (backlog <= m_limits.serialQueueLimit)
            d.overBoundSince.invalidate();
        else if (!d.overBoundSince.isValid())
            d.overBoundSince.start();
    }
    m_congested[SerialNode] = m_serial.PortOpen()
        && congestedNow(m_serialCongested, m_serial.OutBufferCount(), m_limits.serialHigh,
                        m_limits.serialLow);
    m_serialCongested = m_congested[SerialNode];

    const auto blocked = [this](int source) {
        for (int destination : routeFrom(source)) {
            if (m_congested[std::size_t(destination)])
                return true;
        }
        return false;
    };
    for (const Destination &d : m_destinations)
        d.socket->setReceivePaused(d.full || blocked(d.node));

    // A closed port reads nothing: no need to ask (the answer looks it up).
    const bool serialHolds = !m_serial.PortOpen() || m_serial.HoldsSender();
    m_serial.setReceivePaused(serialHolds && blocked(SerialNode));
    QList<std::pair<QPointer<Connection>, int>> overflowed;
    if (!serialHolds) {
        for (const Destination &d : m_destinations) {
            if (routes(SerialNode, d.node) && d.socket->CanSend()
                && d.socket->BytesToSend() > m_limits.serialQueueLimit)
                overflowed.append({d.socket, d.node});
        }
    }

    bool any = std::any_of(m_congested.begin(), m_congested.end(), [](bool c) { return c; });
    for (const Destination &d : m_destinations)
        any = any || d.overBoundSince.isValid();
    if (any && !m_watch->isActive())
        m_watch->start();
    else if (!any && m_watch->isActive())
        m_watch->stop();

    // Last: whoever drops a destination may change the list.
    for (const auto &[socket, node] : std::as_const(overflowed)) {
        if (socket)
            emit destinationOverflowed(socket, node);
    }
}

void FlowControl::checkStalls()
{
    QList<std::tuple<QPointer<Connection>, int, QString>> stalled;
    for (Destination &d : m_destinations) {
        // Only its own backlog counts: a destination held by its peer's
        // request is not stalled, it asked for it.
        QString why;
        if (d.full && d.lastProgress.elapsed() >= m_limits.stallMs) {
            why = QStringLiteral("took no data for %1 s").arg(m_limits.stallMs / 1000.0);
        } else if (d.overBoundSince.isValid() && d.overBoundSince.elapsed() >= m_limits.stallMs) {
            why = QStringLiteral("kept over %1 KiB unsent for %2 s")
                      .arg(m_limits.serialQueueLimit / 1024)
                      .arg(m_limits.stallMs / 1000.0);
        } else {
            continue;
        }
        d.full = false;
        d.lastProgress.start();
        d.overBoundSince.invalidate();
        stalled.append({d.socket, d.node, why});
    }
    for (const auto &[socket, node, why] : std::as_const(stalled)) {
        if (socket)
            emit destinationStalled(socket, node, why);
    }
}
