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

    // Tells `text`, a warning the caller has logged, to whoever is
    // watching, as an OK box; where nobody is (headless) the log is enough.
    virtual void tell(const QString &text) { (void)show(text, Buttons::Ok); }
};
