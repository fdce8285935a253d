// Connection request, peer close and error events of all four sockets.

#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/component_error.h"
#include "platform/winsock.h"

#include <QLineEdit>

namespace {
// The port field that shows an endpoint's condition.
QLineEdit *portFieldOf(Form1 &form, int index)
{
    switch (index) {
    case 0: return form.Text1[0];
    case 1: return form.Text2[0];
    case 2: return form.Text4[0];
    case 3: return form.Text2[5];
    default: return nullptr;
    }
}
} // namespace

void Form1::Winsock1_ConnectionRequest(int Index, qint32 requestID)
{
    if (Index < 0 || Index > 3)
        return;
    Winsock &socket = *Winsock1[Index];
    if (socket.State() != Winsock::sckClosed)
        socket.Close();
    try {
        socket.Accept(requestID);
    } catch (const ComponentError &) {
        // The peer withdrew before we took it: the endpoint stays without a
        // connection; the supervision tick re-arms the second server.
        return;
    }
    if (Index == 0 || Index == 2)
        UiColour::setBackColor(portFieldOf(*this, Index), UiColour::Green);
}

void Form1::Winsock1_Close(int Index)
{
    if (Index < 0 || Index > 3)
        return;
    // The second server endpoint is the one a user sees: red like the others.
    UiColour::setBackColor(portFieldOf(*this, Index), UiColour::Red);
    if (Index == 0)
        setWindowTitle(QStringLiteral("TCP Server Closed"));
}

void Form1::Winsock1_Error(int Index, int Number, const QString &Description)
{
    Q_UNUSED(Number);
    Q_UNUSED(Description);
    if (Index < 0 || Index > 3)
        return;
    Winsock1[Index]->Close();
    UiColour::setBackColor(portFieldOf(*this, Index), UiColour::Red);
}
