// The supervision tick (Timer1, every 3000 ms): the only retry mechanism of
// the hub. It re-arms every armed endpoint that is down (a forwarder
// connects again, the TCP/IP Server listens again) and repaints the state
// display of all four endpoints; headless, it also opens a serial port again
// whose device came back.

#include "engine/socket_endpoint.h"
#include "platform/component_error.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/relay_core.h"

#include <QScopedValueRollback>

void RelayCore::Timer1_Timer()
{
    const QScopedValueRollback inTick(m_inTick, true);
    const int lost = m_engine->lostPort();
    // The listeners listen again as the Listen button does: on the port in
    // their field now.
    m_engine->tick([this](int index) { listenAction(endpoint(index)); });
    if (lost != 0 && m_engine->lostPort() == 0 && Com1->PortOpen())
        showReopened(lost);
    for (int index : TickOrder) {
        const Endpoint &row = endpoint(index);
        const quint8 state = quint8(m_engine->endpoint(index).state());
        row.statusField->setText(WinsockStateDisplay(state, row.portField));
    }
}
