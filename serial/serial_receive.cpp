// What the serial device sends goes to the gateway endpoint (0), the software
// forwarder (1) and the second server endpoint (2), each only if connected at
// that moment; the data-host forwarder (3) never gets serial data.
//
// The relay makes passes of the event queue (a peer accepted on endpoint 2
// during them still gets the chunk), and a further receive event can run in
// such a pass. That nested event only reads its chunk and queues it; the
// outermost handler relays the queue oldest first, so every endpoint sees the
// chunks in the order the device sent them.

#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/flow_control.h"
#include "relay/relay_core.h"

#include <QScopedValueRollback>

void RelayCore::Com1_OnComm()
{
    const int event = Com1->CommEvent();
    if (event == CommEventCode::DeviceLost) {
        // The component closed the port. No message box: the operator may be
        // away for a long time; the red indicator and the caption stay until
        // the next Open.
        qCWarning(lcSerial, "COM port %d was lost", Com1->CommPort());
        m_lostPort = Com1->CommPort();
        m_reopenFailureLogged = false;
        Text3->setBackColor(UiColour::Red);
        Text3->setForeColor(UiColour::White);
        Text3->setText(QString::number(Com1->CommPort()));
        setCaption(QStringLiteral("COM Port # ") + QString::number(Com1->CommPort())
                   + QStringLiteral(" was lost."));
        // Whatever the device delivered before it went is still relayed.
        for (QByteArray rest = Com1->Input(); !rest.isEmpty(); rest = Com1->Input()) {
            m_counters.received[SerialNode] += quint64(rest.size());
            m_serialQueue.push_back(std::move(rest));
        }
    } else if (event == CommEventCode::Receive) {
        QByteArray chunk = Com1->Input();
        if (!chunk.isEmpty()) {
            m_counters.received[SerialNode] += quint64(chunk.size());
            m_serialQueue.push_back(std::move(chunk));
        }
    } else {
        return; // send events, line changes and line errors need nothing
    }

    if (m_relayingSerial)
        return; // the outer handler relays it after the chunks before it

    const QScopedValueRollback relaying(m_relayingSerial, true);
    const auto destinations = routeFrom(SerialNode);
    // The chunks of this delivery leave together when it ends (a lone
    // chunk at once): one segment for several reads.
    for (int destination : destinations)
        Winsock1[std::size_t(destination)]->setGathering(true);
    while (!m_serialQueue.empty()) {
        const QByteArray chunk = std::move(m_serialQueue.front());
        m_serialQueue.pop_front();
        std::array<int, NodeCount> served {};
        std::size_t count = 0;
        for (int destination : destinations) {
            if (destination == destinations.back()) {
                // The second server is served last, after the passes, so a
                // peer accepted in them still gets the chunk.
                DoEvents();
                if (!Winsock1[std::size_t(destination)]->CanSend())
                    DoEvents();
            }
            if (sendIfConnected(destination, chunk))
                served[count++] = destination;
        }
        if (m_capture)
            capture(SerialNode, std::span(served).first(count), chunk);
        m_flow->update();
    }
}
