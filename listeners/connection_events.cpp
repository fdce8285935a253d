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
    if (m_engine->keepsListening(Index)) {
        // The listener goes on listening: the peer becomes a connection of
        // the endpoint (the count shows in the caption and the port field).
        try {
            m_engine->acceptPeer(Index, requestID);
        } catch (const ComponentError &) {
            // The peer withdrew before we took it: nothing to show.
        }
        return;
    }
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
    qCInfo(lcNet, "%s: peer connected from %s:%u", endpointName(Index),
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
    qCInfo(lcNet, "%s: peer closed the connection", endpointName(Index));
    // The second server endpoint is the one a user sees: red like the others.
    endpoint(Index).portField->setBackColor(UiColour::Red);
    if (const char *caption = endpoint(Index).row->closeCaption)
        setCaption(QLatin1String(caption));
}

void RelayCore::Winsock1_Error(int Index, int Number, const QString &Description)
{
    if (!isEndpoint(Index))
        return;
    qCWarning(lcNet, "%s: socket error %d, %s", endpointName(Index), Number,
              qUtf8Printable(Description));
    Winsock1[std::size_t(Index)]->Close();
    m_engine->peerLeft(Index);
    endpoint(Index).portField->setBackColor(UiColour::Red);
}
