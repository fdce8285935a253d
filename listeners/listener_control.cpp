// Listen and Close of the two server endpoints: the gateway endpoint
// (Winsock1(0), Command1, Text1(0)) and the second server endpoint
// (Winsock1(2), Command5, Text4(0)). One procedure serves both; the second
// server endpoint also makes a pass of the event queue after listening and
// keeps the Server2Armed flag that the supervision tick reads.

#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/component_error.h"
#include "platform/winsock.h"
#include "relay/port_text.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

struct Form1::ListenerBinding {
    int socket;
    std::array<QPushButton *, 2> buttons;
    QLineEdit *portField;
    QString settingKey;
    bool secondServer;
};

void Form1::Command1_Click(int Index)
{
    const ListenerBinding gateway {0, Command1, Text1[0], QStringLiteral("LocalPort"), false};
    if (Index == 0)
        listenAction(gateway);
    else if (Index == 1)
        listenerCloseAction(gateway);
}

void Form1::Command5_Click(int Index)
{
    const ListenerBinding server2 {2, Command5, Text4[0], QStringLiteral("LocalPort2"), true};
    if (Index == 0)
        listenAction(server2);
    else if (Index == 1)
        listenerCloseAction(server2);
}

void Form1::listenAction(const ListenerBinding &binding)
{
    // Any failure ends the action silently; what was done stays done.
    try {
        Winsock &socket = *Winsock1[binding.socket];
        socket.Close();
        socket.setProtocol(0);
        socket.setLocalPort(listenPortFromText(binding.portField->text()));
        m_settings.write(QStringLiteral("Harborcast"), QStringLiteral("startup"), binding.settingKey,
                         QString::number(socket.LocalPort()));
        socket.Listen();
        if (binding.secondServer)
            DoEvents();
        if (Winsock1[binding.socket]->State() == Winsock::sckListening) {
            setWindowTitle(QStringLiteral("Listening"));
            UiColour::setBackColor(binding.portField, UiColour::Yellow);
            binding.buttons[1]->setText(QStringLiteral("Stop Listening"));
            binding.buttons[1]->setEnabled(Winsock1[binding.socket]->State()
                                           == Winsock::sckListening);
        }
        if (binding.secondServer)
            Server2Armed = true;
        if (!Timer1->isActive())
            Timer1->start();
    } catch (const ComponentError &) {
    }
}

void Form1::listenerCloseAction(const ListenerBinding &binding)
{
    UiColour::setBackColor(binding.portField, UiColour::Red);
    Winsock1[binding.socket]->Close();
    if (binding.secondServer)
        Server2Armed = false;
}
