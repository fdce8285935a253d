// Routing of a chunk that arrives on a socket: from the gateway endpoint to
// the three others, from any other back to the gateway, and to the serial
// port while it is open. A chunk goes only where the destination reads
// connected at that moment; nothing is kept for later.

#include "app/relay_window.h"
#include "platform/component_error.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/flow_control.h"

namespace {
// Destinations of each source endpoint, in the order they are served.
constexpr int GatewayFanOut[] = {1, 2, 3};
constexpr int BackToGateway[] = {0};
} // namespace

void Form1::sendIfConnected(int index, const QByteArray &chunk)
{
    Winsock &socket = *Winsock1[index];
    if (socket.State() != Winsock::sckConnected)
        return;
    try {
        socket.SendData(chunk);
    } catch (const ComponentError &) {
        // Dropped between the test and the send: the socket's own events
        // report it; the remaining destinations are still served.
    }
}

void Form1::Winsock1_DataArrival(int Index, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    if (Index < 0 || Index > 3)
        return;
    const QByteArray chunk = Winsock1[Index]->GetData();
    if (chunk.isEmpty())
        return;
    if (Index == 0) {
        for (int destination : GatewayFanOut)
            sendIfConnected(destination, chunk);
    } else {
        for (int destination : BackToGateway)
            sendIfConnected(destination, chunk);
    }
    if (Com1->PortOpen()) {
        try {
            Com1->setOutput(chunk);
        } catch (const ComponentError &) {
            // The device vanished just now; the port's own event reports it.
        }
    }
    // Destinations that filled up hold their sources back from here on.
    m_flow->update();
}
