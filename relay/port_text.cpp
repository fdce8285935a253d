#include "relay/port_text.h"

#include "platform/component_error.h"

#include <cmath>
#include <optional>

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')
        || c == QLatin1Char('\r');
}

struct Scanned {
    long double value = 0;
    qsizetype length = 0; // characters consumed; 0 when no number starts the text
};

// Reads "[+|-]digits[.digits]" or "[+|-].digits" at the start of `text`.
// Digits beyond any 32-bit value only make the value larger, so long double
// is enough to tell in range from out of range.
Scanned scanNumber(const QString &text)
{
    Scanned result;
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    long double value = 0;
    bool anyDigit = false;
    while (i < text.size() && text[i].isDigit() && text[i].unicode() < 128) {
        value = value * 10 + (text[i].unicode() - '0');
        anyDigit = true;
        ++i;
    }
    if (i < text.size() && text[i] == QLatin1Char('.')) {
        qsizetype j = i + 1;
        long double scale = 0.1L;
        bool fractionDigit = false;
        while (j < text.size() && text[j].isDigit() && text[j].unicode() < 128) {
            value += (text[j].unicode() - '0') * scale;
            scale /= 10;
            fractionDigit = true;
            ++j;
        }
        if (anyDigit || fractionDigit) {
            i = j;
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return result;
    result.value = negative ? -value : value;
    result.length = i;
    return result;
}

qint32 roundToPort(long double value)
{
    // Half to even, then the signed 32-bit range check.
    const long double rounded = std::nearbyintl(value);
    if (rounded < -2147483648.0L || rounded > 2147483647.0L)
        throw ComponentError(OverflowCode, QStringLiteral("Overflow"));
    return qint32(rounded);
}

} // namespace

qint32 listenPortFromText(const QString &text)
{
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text) {
        if (!isBlank(c))
            compact.append(c);
    }
    return roundToPort(scanNumber(compact).value);
}

qint32 connectPortFromText(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    const QString core = text.mid(begin, end - begin);
    const Scanned scanned = scanNumber(core);
    if (scanned.length == 0 || scanned.length != core.size())
        throw ComponentError(TypeMismatchCode, QStringLiteral("Type mismatch"));
    return roundToPort(scanned.value);
}
