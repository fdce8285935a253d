#include "platform/log_scope.h"

namespace {
QString g_current; // the hub's thread only
} // namespace

LogScope::LogScope(const QString &name) : m_previous(g_current)
{
    g_current = name;
}

LogScope::~LogScope()
{
    g_current = m_previous;
}

const QString &LogScope::current()
{
    return g_current;
}
