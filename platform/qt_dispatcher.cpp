// Where the system has no epoll, the relay runs on Qt's own event
// dispatcher: nothing to install.

#include "platform/epoll_dispatcher.h"

void useRelayEventDispatcher()
{
}
