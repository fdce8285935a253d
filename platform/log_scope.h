#pragma once

#include <QString>

// The name the log lines written now are about: a hub's, while one of its
// events is handled, so that one process serving several devices says
// which device a line is about. Nested scopes restore the outer name.
class LogScope
{
public:
    explicit LogScope(const QString &name);
    ~LogScope();
    LogScope(const LogScope &) = delete;
    LogScope &operator=(const LogScope &) = delete;

    // The innermost name in effect; empty outside any scope.
    [[nodiscard]] static const QString &current();

private:
    QString m_previous;
};
