#include "support/scripted_message_boxes.h"

MessageBoxes::Answer ScriptedMessageBoxes::show(const QString &text, Buttons buttons)
{
    m_shown.append({text, buttons});
    if (whileShown)
        whileShown();
    if (buttons == Buttons::Ok)
        return Answer::Ok;
    if (m_answers.empty())
        return Answer::No;
    const Answer answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

QStringList ScriptedMessageBoxes::texts() const
{
    QStringList out;
    for (const Shown &box : m_shown)
        out.append(box.text);
    return out;
}
