// What the serial device sends goes to the gateway endpoint (0), the software
// forwarder (1) and the second server endpoint (2), each only if connected at
// that moment; the data-host forwarder (3) never gets serial data.
//
// The relay makes passes of the event queue (a peer accepted on endpoint 2
// during them still gets the chunk), and a further receive event can run in
// such a pass. That nested event only reads its chunk and queues it; the
// outermost handler relays the queue oldest first, so every endpoint sees the
// chunks in the order the device sent them.

#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/flow_control.h"

#include <QLineEdit>

namespace {

// Clears the relaying flag however the relay loop is left.
class RelayingScope
{
public:
    explicit RelayingScope(bool &flag) : m_flag(flag) { m_flag = true; }
    ~RelayingScope() { m_flag = false; }
    RelayingScope(const RelayingScope &) = delete;
    RelayingScope &operator=(const RelayingScope &) = delete;

private:
    bool &m_flag;
};

} // namespace

void Form1::Com1_OnComm()
{
    const int event = Com1->CommEvent();
    if (event == CommEventCode::DeviceLost) {
        // The component closed the port. No message box: the operator may be
        // away for a long time; the red indicator and the caption stay until
        // the next Open.
        UiColour::setBackColor(Text3, UiColour::Red);
        UiColour::setForeColor(Text3, UiColour::White);
        Text3->setText(QString::number(Com1->CommPort()));
        setWindowTitle(QStringLiteral("COM Port # ") + QString::number(Com1->CommPort())
                       + QStringLiteral(" was lost."));
        // Whatever the device delivered before it went is still relayed.
        for (QByteArray rest = Com1->Input(); !rest.isEmpty(); rest = Com1->Input())
            m_serialQueue.push_back(std::move(rest));
    } else if (event == CommEventCode::Receive) {
        QByteArray chunk = Com1->Input();
        if (!chunk.isEmpty())
            m_serialQueue.push_back(std::move(chunk));
    } else {
        return; // send events, line changes and line errors need nothing
    }

    if (m_relayingSerial)
        return; // the outer handler relays it after the chunks before it

    const RelayingScope relaying(m_relayingSerial);
    while (!m_serialQueue.empty()) {
        const QByteArray chunk = std::move(m_serialQueue.front());
        m_serialQueue.pop_front();
        sendIfConnected(0, chunk);
        sendIfConnected(1, chunk);
        DoEvents();
        if (Winsock1[2]->State() != Winsock::sckConnected)
            DoEvents(); // a peer accepted in this pass still gets the chunk
        sendIfConnected(2, chunk);
        m_flow->update();
    }
}
