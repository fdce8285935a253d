// The connected event of the two forwarders.

#include "app/relay_window.h"
#include "app/ui_colour.h"

#include <QLineEdit>

void Form1::Winsock1_Connect(int Index)
{
    // Only a colour: nothing is sent, and nothing held back while the
    // forwarder was down exists to be sent.
    if (Index == 1)
        UiColour::setBackColor(Text2[0], UiColour::Green);
    else if (Index == 3)
        UiColour::setBackColor(Text2[5], UiColour::Green);
}
