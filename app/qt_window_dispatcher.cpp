// Where the system has no epoll, the window runs on its platform's own event
// dispatcher: nothing to install.

void useWindowEventDispatcher()
{
}
