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
    // A listener that goes on listening counts its peers in the caption and
    // the port field; a peer that withdrew before we took it shows nothing.
    const bool ownSocket = !m_engine->keepsListening(Index);
    if (m_engine->acceptConnection(Index, requestID) && ownSocket && isListener(Index))
        endpoint(Index).portField->setBackColor(UiColour::Green);
}

void RelayCore::Winsock1_Close(int Index)
{
    if (!isEndpoint(Index))
        return;
    m_engine->connectionClosed(Index);
    // The second server endpoint is the one a user sees: red like the others.
    endpoint(Index).portField->setBackColor(UiColour::Red);
    if (const char *caption = endpoint(Index).row->closeCaption)
        setCaption(QLatin1String(caption));
}

void RelayCore::Winsock1_Error(int Index, int Number, const QString &Description)
{
    if (!isEndpoint(Index))
        return;
    m_engine->connectionFailed(Index, Number, Description);
    endpoint(Index).portField->setBackColor(UiColour::Red);
}
