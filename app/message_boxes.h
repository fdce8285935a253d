#pragma once

#include <QString>

class QWidget;

// Modal message boxes of the relay window: no icon, the application's name
// as the title, either OK or Yes and No. The window asks through this so that
// tests can script the answers.
class MessageBoxes
{
public:
    enum class Buttons { Ok, YesNo };
    enum class Answer { Ok, Yes, No };

    virtual ~MessageBoxes() = default;

    // Shows `text` and returns when the user has answered. Other events keep
    // being handled meanwhile (socket data, timer ticks).
    virtual Answer show(QWidget *parent, const QString &text, Buttons buttons) = 0;
};
