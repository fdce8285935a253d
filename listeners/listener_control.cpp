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
        const qint32 port = listenPortFromText(binding.portField->text());
        // The field's port is saved; a 0 lets the next run's system choose.
        saveSetting([&](HubSettings &settings) {
            settings.setStartupField(binding.portKey, QString::number(port));
        });
        // A field of 0 lets the system choose once; until Close the endpoint
        // keeps that port. The tick re-arms an idle listener: one that
        // already listens on that port is kept, so a peer arriving just then
        // is not refused.
        m_engine->listen(index, port, m_inTick);
        if (secondServer)
            DoEvents();
        if (Winsock1[std::size_t(index)]->State() == Winsock::sckListening) {
            setCaption(QStringLiteral("Listening"));
            binding.portField->setBackColor(UiColour::Yellow);
            (*binding.buttons)[1]->setText(QStringLiteral("Stop Listening"));
            (*binding.buttons)[1]->setEnabled(Winsock1[std::size_t(index)]->State()
                                              == Winsock::sckListening);
        }
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
    m_engine->stopListening(index);
}
