// A chunk that arrives on a socket: the engine reads it and fans it out
// along the route table.

#include "relay/relay_core.h"

void RelayCore::Winsock1_DataArrival(int Index, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    m_engine->relayFromSocket(Index);
}
