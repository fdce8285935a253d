// The supervision tick (Timer1, every 3000 ms): the only retry mechanism of
// the hub. It re-arms every armed endpoint that is down (a forwarder
// connects again, the TCP/IP Server listens again) and repaints the state
// display of all four endpoints; headless, it also opens a serial port again
// whose device came back.

#include "engine/socket_endpoint.h"
#include "platform/component_error.h"
#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/relay_core.h"

#include <QScopedValueRollback>

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
        for (int index : TickOrder)
            m_engine->tendPeers(index);
        // Connect uses the host and port the socket holds from the last
        // Connect press; a connect already in progress is left to finish. A
        // socket whose peer closed is only let go once what it received has
        // been relayed.
        for (int index : TickOrder) {
            const Endpoint &row = endpoint(index);
            Winsock &socket = *Winsock1[std::size_t(index)];
            // A listener with peers of its own counts as connected.
            if (!row.armed || m_engine->endpoint(index).state() == Winsock::sckConnected || !*row.armed
                || m_engine->stillHolding(index))
                continue;
            if (row.row->rearm == Rearm::Connect)
                socket.Connect();
            else
                listenAction(row);
        }
        for (int index : TickOrder) {
            const Endpoint &row = endpoint(index);
            const quint8 state = quint8(m_engine->endpoint(index).state());
            row.statusField->setText(WinsockStateDisplay(state, row.portField));
        }
    } catch (const ComponentError &) {
        // Ends this tick on purpose: the next one starts over.
    }
}
