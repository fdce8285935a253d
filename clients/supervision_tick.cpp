// The supervision tick (Timer1, every 3000 ms): the only retry mechanism of
// the hub. It reconnects armed forwarders, re-arms the second server endpoint
// and repaints the state display of all four endpoints; headless, it also
// opens a serial port again whose device came back.

#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/flow_control.h"
#include "relay/relay_core.h"

#include <QScopedValueRollback>

bool RelayCore::stillHolding(int index)
{
    Winsock &socket = *Winsock1[std::size_t(index)];
    const std::size_t i = std::size_t(index);
    if (socket.BytesReceived() > 0 && !socket.ReceivePaused())
        Winsock1_DataArrival(index, socket.BytesReceived());
    const qint64 held = socket.BytesReceived();
    if (held == 0) {
        m_heldBytes[i] = 0;
        return false;
    }
    if (held != m_heldBytes[i]) {
        m_heldBytes[i] = held;
        m_heldSince[i].start();
        return true;
    }
    if (m_heldSince[i].elapsed() < m_flow->limits().stallMs)
        return true;
    // Its destinations took nothing for the stall time: let it go.
    qCWarning(lcNet, "endpoint %d: %lld received bytes dropped, their destinations took nothing "
                     "for %d s",
              index, held, m_flow->limits().stallMs / 1000);
    m_heldBytes[i] = 0;
    return false;
}

void RelayCore::Timer1_Timer()
{
    const QScopedValueRollback inTick(m_inTick, true);
    // Any failure ends this tick silently; the next one starts over. The
    // handlers reached from here (the Listen action) trap their own failures.
    try {
        // First, so that a refused Connect below cannot keep the device away.
        reopenLostPort();
        // A peer that closed may have closed only its sending side and still
        // wait for an answer: it is sent to until here.
        for (Winsock *socket : Winsock1)
            socket->StopSending();
        // Connect uses the host and port the socket holds from the last
        // Connect press; a connect already in progress is left to finish. A
        // socket whose peer closed is only let go once what it received has
        // been relayed.
        if (Winsock1[1]->State() != Winsock::sckConnected && SoftwareForwarderArmed
            && !stillHolding(1))
            Winsock1[1]->Connect();
        if (Winsock1[3]->State() != Winsock::sckConnected && DataHostForwarderArmed
            && !stillHolding(3))
            Winsock1[3]->Connect();
        if (Winsock1[2]->State() != Winsock::sckConnected && Server2Armed && !stillHolding(2))
            Command5_Click(0);

        // Socket 2 shows its state in Text4(2), the bottom row of the
        // "TCP/IP Server" group, after the other three.
        for (int index : {0, 1, 3, 2}) {
            const Endpoint &row = endpoint(index);
            const quint8 state = quint8(Winsock1[std::size_t(index)]->State());
            row.statusField->setText(WinsockStateDisplay(state, row.portField));
        }
    } catch (const ComponentError &) {
        // Ends this tick on purpose: the next one starts over.
    }
}
