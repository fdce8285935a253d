// Linked into every test with a window: they run on the dispatcher the
// program's window runs on (QUAYLIGHT_EVENT_DISPATCHER=unix: the platform's).
#include "app/window_dispatcher.h"

namespace {
const bool installed = (useWindowEventDispatcher(), true);
} // namespace
