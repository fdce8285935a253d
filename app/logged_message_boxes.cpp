#include "app/logged_message_boxes.h"

#include "platform/log_categories.h"

MessageBoxes::Answer LoggedMessageBoxes::show(const QString &text, Buttons buttons)
{
    if (buttons == Buttons::YesNo) {
        qCWarning(lcApp, "%s -> No", qUtf8Printable(text));
        return Answer::No;
    }
    qCWarning(lcApp, "%s", qUtf8Printable(text));
    return Answer::Ok;
}
