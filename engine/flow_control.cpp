#include "engine/flow_control.h"

#include "platform/serial_comm.h"
#include "platform/winsock.h"

#include <QTimer>

namespace {
// Hysteresis: congested above `high`, free again below `low`.
bool congestedNow(bool wasCongested, qint64 backlog, qint64 high, qint64 low)
{
    return wasCongested ? backlog >= low : backlog > high;
}
} // namespace

FlowControl::FlowControl(const std::array<Winsock *, EndpointCount> &sockets, SerialComm &serial,
                         QObject *parent)
    : QObject(parent), m_sockets(sockets), m_serial(serial), m_watch(new QTimer(this))
{
    // Also catches a congested destination that closed without a progress
    // signal, so its sources resume within a fraction of a second.
    m_watch->setInterval(250);
    connect(m_watch, &QTimer::timeout, this, [this] {
        update();
        checkStalls();
    });
    for (int i = 0; i < EndpointCount; ++i) {
        connect(m_sockets[std::size_t(i)], &Winsock::BytesSent, this,
                [this, i] { onSocketProgress(i); });
        m_lastProgress[std::size_t(i)].start();
    }
    connect(&m_serial, &SerialComm::BytesWritten, this, [this] { update(); });
}

void FlowControl::setLimits(const Limits &limits)
{
    m_limits = limits;
    update();
}

void FlowControl::setHeld(int index, bool held)
{
    m_held[std::size_t(index)] = held;
    update();
}

void FlowControl::onSocketProgress(int index)
{
    m_lastProgress[std::size_t(index)].start();
    update();
}

void FlowControl::update()
{
    for (std::size_t i = 0; i < EndpointCount; ++i) {
        const Winsock &socket = *m_sockets[i];
        const bool was = m_congested[i];
        const bool connected = socket.CanSend();
        const bool full = connected
            && congestedNow(was, socket.BytesToSend(), m_limits.socketHigh, m_limits.socketLow);
        const bool now = full || (connected && m_held[i]);
        if (full && !was)
            m_lastProgress[i].start(); // the stall clock starts with the congestion
        m_congested[i] = now;
    }
    m_congested[SerialNode] = m_serial.PortOpen()
        && congestedNow(m_congested[SerialNode], m_serial.OutBufferCount(), m_limits.serialHigh,
                        m_limits.serialLow);

    const auto blocked = [this](int source) {
        for (int destination : routeFrom(source)) {
            if (m_congested[std::size_t(destination)])
                return true;
        }
        return false;
    };
    for (int i = 0; i < EndpointCount; ++i)
        m_sockets[std::size_t(i)]->setReceivePaused(blocked(i));

    // A closed port reads nothing: no need to ask (the answer looks it up).
    const bool serialHolds = !m_serial.PortOpen() || m_serial.HoldsSender();
    m_serial.setReceivePaused(serialHolds && blocked(SerialNode));
    if (!serialHolds) {
        for (int destination : routeFrom(SerialNode)) {
            const Winsock &socket = *m_sockets[std::size_t(destination)];
            if (socket.CanSend() && socket.BytesToSend() > m_limits.serialQueueLimit) {
                emit destinationOverflowed(destination);
            }
        }
    }

    bool any = false;
    for (bool c : m_congested)
        any = any || c;
    if (any && !m_watch->isActive())
        m_watch->start();
    else if (!any && m_watch->isActive())
        m_watch->stop();
}

void FlowControl::checkStalls()
{
    for (std::size_t i = 0; i < EndpointCount; ++i) {
        // A destination held by its own peer is not stalled: it asked for it.
        if (m_congested[i] && !m_held[i] && m_lastProgress[i].elapsed() >= m_limits.stallMs) {
            m_congested[i] = false;
            m_lastProgress[i].start();
            emit destinationStalled(int(i));
        }
    }
}
