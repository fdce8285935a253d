// Routing of a chunk that arrives on a socket, along the route table: from
// the gateway endpoint to the three others, from any other back to the
// gateway, and to the serial port while it is open. A chunk goes only where
// the destination reads connected at that moment, or still takes bytes after
// its peer closed (it may have closed only its sending side and wait for an
// answer); nothing is kept for later.

#include "platform/component_error.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/flow_control.h"
#include "relay/relay_core.h"

bool RelayCore::sendIfConnected(int index, const QByteArray &chunk)
{
    Winsock &socket = *Winsock1[std::size_t(index)];
    if (!socket.CanSend())
        return false;
    try {
        if (index == 2 && m_remote) {
            // An RFC 2217 peer: IAC doubled, and held while it asked so.
            if (m_remoteSuspended) {
                m_remoteHeld += chunk;
                if (m_remoteHeld.size() > m_flow->limits().serialQueueLimit)
                    dropDestination(index, QStringLiteral("held back more than %1 KiB")
                                               .arg(m_flow->limits().serialQueueLimit / 1024));
            } else {
                socket.SendData(ComPortProtocol::toPeer(chunk));
            }
        } else {
            socket.SendData(chunk);
        }
    } catch (const ComponentError &) {
        // Dropped between the test and the send: the socket's own events
        // report it; the remaining destinations are still served.
        return false;
    }
    m_counters.sent[std::size_t(index)] += quint64(chunk.size());
    return true;
}

void RelayCore::Winsock1_DataArrival(int Index, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    if (Index < 0 || Index >= EndpointCount)
        return;
    QByteArray chunk = Winsock1[std::size_t(Index)]->GetData();
    if (chunk.isEmpty())
        return;
    m_counters.received[std::size_t(Index)] += quint64(chunk.size());
    if (Index == 2 && m_remote) {
        // Telnet commands are answered here and never reach the device.
        chunk = fromRemotePeer(chunk);
        if (chunk.isEmpty())
            return;
    }
    std::array<int, NodeCount> served {};
    std::size_t count = 0;
    for (int destination : routeFrom(Index)) {
        if (destination != SerialNode) {
            if (sendIfConnected(destination, chunk))
                served[count++] = destination;
        } else if (Com1->PortOpen()) {
            try {
                Com1->setOutput(chunk);
                m_counters.sent[SerialNode] += quint64(chunk.size());
                served[count++] = SerialNode;
            } catch (const ComponentError &) {
                // The device vanished just now; the port's own event reports it.
            }
        }
    }
    if (m_capture)
        capture(Index, std::span(served).first(count), chunk);
    // Destinations that filled up hold their sources back from here on.
    m_flow->update();
}
