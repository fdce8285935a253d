// Routing of a chunk that arrives on a socket, along the route table: from
// the gateway endpoint to the three others, from any other back to the
// gateway, and to the serial port while it is open. A chunk goes only where
// the destination reads connected at that moment; nothing is kept for later.

#include "platform/component_error.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/flow_control.h"
#include "relay/relay_core.h"

void RelayCore::sendIfConnected(int index, const QByteArray &chunk)
{
    Winsock &socket = *Winsock1[std::size_t(index)];
    if (socket.State() != Winsock::sckConnected)
        return;
    try {
        socket.SendData(chunk);
    } catch (const ComponentError &) {
        // Dropped between the test and the send: the socket's own events
        // report it; the remaining destinations are still served.
    }
}

void RelayCore::Winsock1_DataArrival(int Index, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    if (Index < 0 || Index >= EndpointCount)
        return;
    const QByteArray chunk = Winsock1[std::size_t(Index)]->GetData();
    if (chunk.isEmpty())
        return;
    for (int destination : routeFrom(Index)) {
        if (destination != SerialNode) {
            sendIfConnected(destination, chunk);
        } else if (Com1->PortOpen()) {
            try {
                Com1->setOutput(chunk);
            } catch (const ComponentError &) {
                // The device vanished just now; the port's own event reports it.
            }
        }
    }
    // Destinations that filled up hold their sources back from here on.
    m_flow->update();
}
