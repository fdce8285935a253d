// Listen and Close of the two server endpoints: the gateway endpoint
// (Winsock1(0), Command1, Text1(0)) and the second server endpoint
// (Winsock1(2), Command5, Text4(0)). One procedure serves both; the second
// server endpoint also makes a pass of the event queue after listening and
// keeps the Server2Armed flag that the supervision tick reads.

#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "engine/port_text.h"
#include "relay/relay_core.h"

#include <QTimer>

namespace {
// Listen is button 0 of a listener's pair, Close button 1.
constexpr int ListenButton = 0;
constexpr int CloseButton = 1;
} // namespace

void RelayCore::Command1_Click(int Index)
{
    const Endpoint &gateway = endpoint(endpointOf(EndpointRole::GatewayListener));
    if (Index == ListenButton)
        listenAction(gateway);
    else if (Index == CloseButton)
        listenerCloseAction(gateway);
}

void RelayCore::Command5_Click(int Index)
{
    const Endpoint &server = endpoint(endpointOf(EndpointRole::ServerListener));
    if (Index == ListenButton)
        listenAction(server);
    else if (Index == CloseButton)
        listenerCloseAction(server);
}

void RelayCore::listenAction(const Endpoint &binding)
{
    const int index = binding.index;
    const bool secondServer = binding.row->passAfterListen;
    // Any failure ends the action silently; what was done stays done.
    try {
        Winsock &socket = *Winsock1[std::size_t(index)];
        const qint32 port = listenPortFromText(binding.portField->text());
        // A field of 0 lets the system choose once; until Close the endpoint
        // keeps that port, so a peer that left finds it where it was.
        qint32 &chosen = m_chosenPort[std::size_t(index)];
        if (port != 0)
            chosen = 0;
        const qint32 bind = port == 0 ? chosen : port;
        // The tick re-arms an idle listener: one that already listens on that
        // port is kept, so a peer arriving just then is not refused.
        const bool keep = m_inTick && socket.State() == Winsock::sckListening
            && socket.LocalPort() == bind;
        if (!keep) {
            socket.Close();
            m_engine->closePeers(index);
            m_engine->peerLeft(index);
            socket.setProtocol(0);
            socket.setLocalPort(bind);
        }
        // The field's port is saved; a 0 lets the next run's system choose.
        saveSetting([&](HubSettings &settings) {
            settings.setStartupField(binding.portKey, QString::number(port));
        });
        // The box a failed save shows lets the tick run: it may have
        // listened (or taken a peer) meanwhile.
        if (!keep && socket.State() == Winsock::sckClosed) {
            socket.Listen();
            if (port == 0 && chosen == 0) {
                chosen = socket.LocalPort();
                qCInfo(lcNet, "%s listening on port %d, chosen by the system and kept "
                              "until Close", endpointName(index), chosen);
            } else {
                qCInfo(lcNet, "%s listening on port %d", endpointName(index), socket.LocalPort());
            }
        }
        if (secondServer)
            DoEvents();
        if (Winsock1[std::size_t(index)]->State() == Winsock::sckListening) {
            setCaption(QStringLiteral("Listening"));
            binding.portField->setBackColor(UiColour::Yellow);
            (*binding.buttons)[1]->setText(QStringLiteral("Stop Listening"));
            (*binding.buttons)[1]->setEnabled(Winsock1[std::size_t(index)]->State()
                                              == Winsock::sckListening);
        }
        if (binding.armed)
            *binding.armed = true;
        if (!Timer1->isActive())
            Timer1->start();
    } catch (const ComponentError &error) {
        m_listenError = error.text();
        qCWarning(lcNet, "%s cannot listen: error %d, %s", endpointName(index), error.code(),
                  qUtf8Printable(error.text()));
    }
}

void RelayCore::listenerCloseAction(const Endpoint &binding)
{
    const int index = binding.index;
    binding.portField->setBackColor(UiColour::Red);
    m_chosenPort[std::size_t(index)] = 0;
    Winsock1[std::size_t(index)]->Close();
    m_engine->closePeers(index);
    m_engine->peerLeft(index);
    qCInfo(lcNet, "%s stopped listening", endpointName(index));
    if (binding.armed)
        *binding.armed = false;
}
