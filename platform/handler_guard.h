#pragma once

#include "platform/log_categories.h"

#include <exception>

// Runs one event handler. Qt's event loop cannot carry an exception, so a
// failure a handler did not trap itself ends the handler here and is logged;
// this is the one place that does so.
template <typename Handler>
void runHandler(const char *name, Handler &&handler) noexcept
{
    try {
        handler();
    } catch (const std::exception &error) {
        qCWarning(lcApp, "%s ended by an untrapped failure: %s", name, error.what());
    } catch (...) {
        qCWarning(lcApp, "%s ended by an untrapped failure", name);
    }
}
