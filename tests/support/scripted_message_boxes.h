#pragma once

#include "relay/message_boxes.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>

// Message boxes for tests: records every box shown and answers from a
// script. With no scripted answer left, OK boxes answer Ok and Yes/No boxes
// answer No. `whileShown` runs while a box is "on screen", standing in for the
// events the user's wait lets through.
class ScriptedMessageBoxes : public MessageBoxes
{
public:
    struct Shown {
        QString text;
        Buttons buttons;
    };

    Answer show(const QString &text, Buttons buttons) override;

    // Answers for the next Yes/No boxes, in order.
    void answerNext(Answer answer) { m_answers.push_back(answer); }

    [[nodiscard]] const QList<Shown> &shown() const { return m_shown; }
    [[nodiscard]] QStringList texts() const;
    void clear() { m_shown.clear(); }

    std::function<void()> whileShown;

private:
    QList<Shown> m_shown;
    std::deque<Answer> m_answers;
};
