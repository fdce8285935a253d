#pragma once

#include <QString>

// Modal message boxes of the relay: no icon, the application's name as the
// title, either OK or Yes and No. The relay asks through this so that the
// window can show real boxes, headless mode can log them and tests can
// script the answers.
class MessageBoxes
{
public:
    enum class Buttons { Ok, YesNo };
    enum class Answer { Ok, Yes, No };

    virtual ~MessageBoxes() = default;

    // Shows `text` and returns when it has been answered. Other events keep
    // being handled meanwhile (socket data, timer ticks).
    virtual Answer show(const QString &text, Buttons buttons) = 0;
};
