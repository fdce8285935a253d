#include "platform/flag_text.h"

namespace flag_text {

std::optional<bool> parse(QStringView text)
{
    const QStringView word = text.trimmed();
    for (const char *yes : {"true", "yes", "on", "1"}) {
        if (word.compare(QLatin1String(yes), Qt::CaseInsensitive) == 0)
            return true;
    }
    for (const char *no : {"false", "no", "off", "0"}) {
        if (word.compare(QLatin1String(no), Qt::CaseInsensitive) == 0)
            return false;
    }
    return std::nullopt;
}

QString write(bool on)
{
    return on ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace flag_text
