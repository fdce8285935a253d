#pragma once

#include <QString>

#include <exception>

// A component call that fails at once throws this: the numeric code the
// handlers show or test (Winsock-style for sockets, MSComm-style for the
// serial port) and a short text for people.
class ComponentError : public std::exception
{
public:
    ComponentError(int code, QString text)
        : m_code(code), m_text(std::move(text)), m_utf8(m_text.toUtf8())
    {
    }

    [[nodiscard]] int code() const noexcept { return m_code; }
    [[nodiscard]] const QString &text() const noexcept { return m_text; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    int m_code;
    QString m_text;
    QByteArray m_utf8;
};
