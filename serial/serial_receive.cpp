// What the serial device sends goes, along the route table, to the gateway
// endpoint, the software forwarder and the second server endpoint, each only
// if connected at that moment; the data-host forwarder never gets serial
// data.
//
// The relay makes passes of the event queue (a peer accepted on the TCP/IP
// Server during them still gets the chunk), and a further receive event can
// run in such a pass. That nested event only reads its chunk and queues it;
// the outermost handler relays the queue oldest first, so every endpoint
// sees the chunks in the order the device sent them.

#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"

void RelayCore::Com1_OnComm()
{
    const int event = Com1->CommEvent();
    if (event == CommEventCode::DeviceLost) {
        // The component closed the port. No message box: the operator may be
        // away for a long time; the red indicator and the caption stay until
        // the next Open.
        Text3->setBackColor(UiColour::Red);
        Text3->setForeColor(UiColour::White);
        Text3->setText(QString::number(Com1->CommPort()));
        setCaption(QStringLiteral("COM Port # ") + QString::number(Com1->CommPort())
                   + QStringLiteral(" was lost."));
    }
    // The hub notes a vanished device and relays what came (also what a
    // vanished device delivered before it went).
    m_engine->serialEvent();
}
