// Connect and Close of the two upstream forwarders: the software forwarder
// (Winsock1(1), Command3(0)/(1)) and the data-host forwarder (Winsock1(3),
// Command3(3)/(2)). Connect arms the forwarder so that the supervision tick
// keeps asking for the connection; Close disarms it.

#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/message_boxes.h"
#include "engine/port_text.h"
#include "relay/relay_core.h"

void RelayCore::Command3_Click(int Index)
{
    if (Index < 0 || Index >= int(Command3Map.size()))
        return;
    const ForwarderButton button = Command3Map[std::size_t(Index)];
    if (button.connects)
        connectAction(endpoint(button.endpoint));
    else
        forwarderCloseAction(endpoint(button.endpoint));
}

void RelayCore::connectAction(const Endpoint &binding)
{
    Winsock &socket = *Winsock1[std::size_t(binding.index)];
    try {
        const int state = socket.State();
        if (state == Winsock::sckConnected) {
            *binding.armed = true;
            binding.statusField->setText(QString::number(state));
            return;
        }
        // Connecting, closing or in error: started over with the fields'
        // values. Armed even when they cannot be taken: the tick retries.
        const QString host = binding.hostField->text();
        qint32 port = 0;
        try {
            port = connectPortFromText(binding.portField->text());
        } catch (const ComponentError &) {
            *binding.armed = true;
            throw;
        }
        m_engine->connectTo(binding.index, host, port);
        // Saved as typed, and only once the socket has taken both.
        saveSetting([&](HubSettings &settings) {
            settings.setStartupField(binding.hostKey, binding.hostField->text());
        });
        saveSetting([&](HubSettings &settings) {
            settings.setStartupField(binding.portKey, binding.portField->text());
        });
    } catch (const ComponentError &error) {
        if (error.code() == WinsockCode::AddressInUse)
            return;
        // The state is read before the box: events keep running while it shows.
        const QString text = QStringLiteral("HA Connect Client Error # ")
            + QString::number(error.code()) + QStringLiteral("   State = ")
            + QString::number(socket.State());
        m_boxes->show(text, MessageBoxes::Buttons::Ok);
        return;
    }
    binding.portField->setBackColor(UiColour::Yellow);
}

void RelayCore::forwarderCloseAction(const Endpoint &binding)
{
    m_engine->closeForwarder(binding.index);
    // Still red and still the true state, so the operator sees it.
    binding.portField->setBackColor(UiColour::Red);
    binding.statusField->setText(QString::number(Winsock1[std::size_t(binding.index)]->State()));
}
