// The connected event of the two forwarders.

#include "platform/log_categories.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"

void RelayCore::Winsock1_Connect(int Index)
{
    // Only a colour: nothing is sent, and nothing held back while the
    // forwarder was down exists to be sent.
    if (!isEndpoint(Index) || !endpoint(Index).row->connects)
        return;
    const Winsock &socket = *Winsock1[std::size_t(Index)];
    qCInfo(lcNet, "%s: connected to %s:%d", endpointName(Index), qUtf8Printable(socket.RemoteHost()),
           socket.RemotePort());
    endpoint(Index).portField->setBackColor(UiColour::Green);
}
