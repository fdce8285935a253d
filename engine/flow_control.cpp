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
        const bool connected = socket.CanSend();
        const qint64 backlog = connected ? socket.BytesToSend() : 0;
        const bool full =
            connected && congestedNow(m_full[i], backlog, m_limits.socketHigh, m_limits.socketLow);
        if (full && !m_full[i])
            m_lastProgress[i].start(); // the stall clock starts with the congestion
        m_full[i] = full;
        m_congested[i] = full || (connected && m_held[i]);
        if (backlog <= m_limits.serialQueueLimit)
            m_overBoundSince[i].invalidate();
        else if (!m_overBoundSince[i].isValid())
            m_overBoundSince[i].start();
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
    for (std::size_t i = 0; i < EndpointCount; ++i)
        m_sockets[i]->setReceivePaused(m_full[i] || blocked(int(i)));

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
    for (const QElapsedTimer &over : m_overBoundSince)
        any = any || over.isValid();
    if (any && !m_watch->isActive())
        m_watch->start();
    else if (!any && m_watch->isActive())
        m_watch->stop();
}

void FlowControl::checkStalls()
{
    for (std::size_t i = 0; i < EndpointCount; ++i) {
        // Only its own backlog counts: a destination held by its peer's
        // request is not stalled, it asked for it.
        QString why;
        if (m_full[i] && m_lastProgress[i].elapsed() >= m_limits.stallMs) {
            why = QStringLiteral("took no data for %1 s").arg(m_limits.stallMs / 1000.0);
        } else if (m_overBoundSince[i].isValid() && m_overBoundSince[i].elapsed() >= m_limits.stallMs) {
            why = QStringLiteral("kept over %1 KiB unsent for %2 s")
                      .arg(m_limits.serialQueueLimit / 1024)
                      .arg(m_limits.stallMs / 1000.0);
        } else {
            continue;
        }
        m_congested[i] = m_full[i] = false;
        m_lastProgress[i].start();
        m_overBoundSince[i].invalidate();
        emit destinationStalled(int(i), why);
    }
}
