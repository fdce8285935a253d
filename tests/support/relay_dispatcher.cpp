// Linked into every test without a window: the tests run on the event
// dispatcher the headless program runs on, so the ordering tests guard it
// (QUAYLIGHT_EVENT_DISPATCHER=unix runs them on Qt's own).
#include "platform/epoll_dispatcher.h"

namespace {
const bool installed = (useRelayEventDispatcher(), true);
} // namespace
