// Connect and Close of the two upstream forwarders: the software forwarder
// (Winsock1(1), Command3(0)/(1)) and the data-host forwarder (Winsock1(3),
// Command3(3)/(2)). Connect arms the forwarder so that the supervision tick
// keeps asking for the connection; Close disarms it.

#include "app/message_boxes.h"
#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/component_error.h"
#include "platform/winsock.h"
#include "relay/port_text.h"

#include <QLineEdit>

struct Form1::ForwarderBinding {
    int socket;
    QLineEdit *hostField;
    QLineEdit *portField; // also carries the forwarder's colour
    QLineEdit *statusField;
    bool &armed;
    QString hostKey;
    QString portKey;
};

void Form1::Command3_Click(int Index)
{
    if (Index == 0 || Index == 1) {
        const ForwarderBinding software {1, Text2[1], Text2[0], Text2[2], SoftwareForwarderArmed,
                                         QStringLiteral("RemoteHost"),
                                         QStringLiteral("RemotePort")};
        if (Index == 0)
            connectAction(software);
        else
            forwarderCloseAction(software);
    } else if (Index == 2 || Index == 3) {
        const ForwarderBinding dataHost {3, Text2[4], Text2[5], Text2[3], DataHostForwarderArmed,
                                         QStringLiteral("RemoteHost3"),
                                         QStringLiteral("RemotePort3")};
        if (Index == 3)
            connectAction(dataHost);
        else
            forwarderCloseAction(dataHost);
    }
}

void Form1::connectAction(const ForwarderBinding &binding)
{
    // Armed first: even a Connect that fails below leaves the tick retrying.
    binding.armed = true;
    Winsock &socket = *Winsock1[binding.socket];
    try {
        const int state = socket.State();
        if (state == Winsock::sckConnected) {
            binding.statusField->setText(QString::number(state));
            return;
        }
        // Connecting, closing or in error: start over with the fields' values.
        if (socket.State() > Winsock::sckClosed)
            socket.Close();
        socket.setRemoteHost(binding.hostField->text());
        socket.setRemotePort(connectPortFromText(binding.portField->text()));
        // Saved as typed, and only once the socket has taken both.
        const QString app = QStringLiteral("Harborcast");
        const QString section = QStringLiteral("startup");
        m_settings.write(app, section, binding.hostKey, binding.hostField->text());
        m_settings.write(app, section, binding.portKey, binding.portField->text());
    } catch (const ComponentError &error) {
        if (error.code() == WinsockCode::AddressInUse)
            return;
        // The state is read before the box: events keep running while it shows.
        const QString text = QStringLiteral("HA Connect Client Error # ")
            + QString::number(error.code()) + QStringLiteral("   State = ")
            + QString::number(socket.State());
        m_boxes.show(this, text, MessageBoxes::Buttons::Ok);
        return;
    }
    try {
        socket.Connect();
    } catch (const ComponentError &) {
        // A refused request is put right by the socket's events and the tick.
    }
    UiColour::setBackColor(binding.portField, UiColour::Yellow);
}

void Form1::forwarderCloseAction(const ForwarderBinding &binding)
{
    binding.armed = false;
    Winsock &socket = *Winsock1[binding.socket];
    try {
        socket.Close();
    } catch (const ComponentError &) {
        // Still red and still the true state below, so the operator sees it.
    }
    UiColour::setBackColor(binding.portField, UiColour::Red);
    binding.statusField->setText(QString::number(socket.State()));
}
