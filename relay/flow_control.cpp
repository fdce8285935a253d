#include "relay/flow_control.h"

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

FlowControl::FlowControl(const std::array<Winsock *, 4> &sockets, SerialComm &serial,
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
    for (int i = 0; i < int(m_sockets.size()); ++i) {
        connect(m_sockets[size_t(i)], &Winsock::BytesSent, this, [this, i] { onSocketProgress(i); });
        m_lastProgress[size_t(i)].start();
    }
    connect(&m_serial, &SerialComm::BytesWritten, this, [this] { update(); });
}

void FlowControl::setLimits(const Limits &limits)
{
    m_limits = limits;
    update();
}

void FlowControl::onSocketProgress(int index)
{
    m_lastProgress[size_t(index)].start();
    update();
}

void FlowControl::update()
{
    for (size_t i = 0; i < m_sockets.size(); ++i) {
        const Winsock &socket = *m_sockets[i];
        const bool was = m_socketCongested[i];
        const bool now = socket.State() == Winsock::sckConnected
            && congestedNow(was, socket.BytesToSend(), m_limits.socketHigh, m_limits.socketLow);
        if (now && !was)
            m_lastProgress[i].start(); // the stall clock starts with the congestion
        m_socketCongested[i] = now;
    }
    m_serialCongested = m_serial.PortOpen()
        && congestedNow(m_serialCongested, m_serial.OutBufferCount(), m_limits.serialHigh,
                        m_limits.serialLow);

    const auto &c = m_socketCongested;
    const bool gatewayFull = c[0];
    m_sockets[0]->setReceivePaused(m_serialCongested || c[1] || c[2] || c[3]);
    for (size_t i : {1, 2, 3})
        m_sockets[i]->setReceivePaused(m_serialCongested || gatewayFull);
    m_serial.setReceivePaused(c[0] || c[1] || c[2]);

    const bool any = m_serialCongested || c[0] || c[1] || c[2] || c[3];
    if (any && !m_watch->isActive())
        m_watch->start();
    else if (!any && m_watch->isActive())
        m_watch->stop();
}

void FlowControl::checkStalls()
{
    for (size_t i = 0; i < m_sockets.size(); ++i) {
        if (m_socketCongested[i] && m_lastProgress[i].elapsed() >= m_limits.stallMs) {
            m_socketCongested[i] = false;
            m_lastProgress[i].start();
            emit destinationStalled(int(i));
        }
    }
}
