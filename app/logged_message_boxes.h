#pragma once

#include "relay/message_boxes.h"

// Message boxes with nobody to answer them (headless mode, restoring a
// session): each becomes a log line and a question takes its safe answer,
// "No".
class LoggedMessageBoxes : public MessageBoxes
{
public:
    Answer show(const QString &text, Buttons buttons) override;
    // Already in the log: nothing to add.
    void tell(const QString &) override {}
};
