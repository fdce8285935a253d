// Connection request, peer close and error events of all four sockets.

#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"

void RelayCore::Winsock1_ConnectionRequest(int Index, qint32 requestID)
{
    if (!isEndpoint(Index))
        return;
    Winsock &socket = *Winsock1[std::size_t(Index)];
    if (socket.State() != Winsock::sckClosed)
        socket.Close();
    try {
        socket.Accept(requestID);
    } catch (const ComponentError &) {
        // The peer withdrew before we took it: the endpoint stays without a
        // connection; the supervision tick re-arms the second server.
        return;
    }
    qCInfo(lcNet, "endpoint %d: peer connected from %s:%u", Index,
           qUtf8Printable(socket.RemoteHostIP()), unsigned(socket.PeerPort()));
    logSecurity(Index);
    m_engine->peerAccepted(Index);
    if (isListener(Index))
        endpoint(Index).portField->setBackColor(UiColour::Green);
}

void RelayCore::Winsock1_Close(int Index)
{
    if (!isEndpoint(Index))
        return;
    qCInfo(lcNet, "endpoint %d: peer closed the connection", Index);
    // The second server endpoint is the one a user sees: red like the others.
    endpoint(Index).portField->setBackColor(UiColour::Red);
    if (const char *caption = endpoint(Index).row->closeCaption)
        setCaption(QLatin1String(caption));
}

void RelayCore::Winsock1_Error(int Index, int Number, const QString &Description)
{
    if (!isEndpoint(Index))
        return;
    qCWarning(lcNet, "endpoint %d: socket error %d, %s", Index, Number,
              qUtf8Printable(Description));
    Winsock1[std::size_t(Index)]->Close();
    m_engine->peerLeft(Index);
    endpoint(Index).portField->setBackColor(UiColour::Red);
}
