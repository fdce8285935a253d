#include "engine/port_text.h"

#include "platform/component_error.h"

#include <algorithm>

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')
        || c == QLatin1Char('\r');
}

struct Scanned {
    bool negative = false;
    QString whole;    // digits before the point, as written
    QString fraction; // digits after it
    qsizetype length = 0; // characters consumed; 0 when no number starts the text
};

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Reads "[+|-]digits[.digits]" or "[+|-].digits" at the start of `text`. The
// digits are kept as text: rounding decides from them, exactly.
Scanned scanNumber(const QString &text)
{
    Scanned result;
    qsizetype i = 0;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        result.negative = text[i] == QLatin1Char('-');
        ++i;
    }
    const qsizetype wholeBegin = i;
    while (i < text.size() && isAsciiDigit(text[i]))
        ++i;
    result.whole = text.mid(wholeBegin, i - wholeBegin);
    if (i < text.size() && text[i] == QLatin1Char('.')) {
        qsizetype j = i + 1;
        while (j < text.size() && isAsciiDigit(text[j]))
            ++j;
        if (!result.whole.isEmpty() || j > i + 1) {
            result.fraction = text.mid(i + 1, j - i - 1);
            i = j;
        }
    }
    if (result.whole.isEmpty() && result.fraction.isEmpty())
        return {};
    result.length = i;
    return result;
}

// Rounds half to even (as the old Basic's CInt), then checks the signed
// 32-bit range. Only the first fraction digit and whether any non-zero digit
// follows it matter, so the text decides exactly.
qint32 roundToPort(const Scanned &number)
{
    QStringView whole(number.whole);
    while (!whole.isEmpty() && whole.front() == QLatin1Char('0'))
        whole = whole.mid(1);
    if (whole.size() > 10) // even 10 digits may be too many; more surely are
        throw ComponentError(OverflowCode, QStringLiteral("Overflow"));
    qint64 magnitude = 0;
    for (QChar c : whole)
        magnitude = magnitude * 10 + (c.unicode() - '0');
    if (!number.fraction.isEmpty()) {
        const int first = number.fraction.front().unicode() - '0';
        const bool restNonZero = std::any_of(number.fraction.cbegin() + 1, number.fraction.cend(),
                                             [](QChar c) { return c != QLatin1Char('0'); });
        if (first > 5 || (first == 5 && (restNonZero || magnitude % 2 == 1)))
            ++magnitude;
    }
    const qint64 value = number.negative ? -magnitude : magnitude;
    if (value < -2147483648LL || value > 2147483647LL)
        throw ComponentError(OverflowCode, QStringLiteral("Overflow"));
    return qint32(value);
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
    return roundToPort(scanNumber(compact));
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
    return roundToPort(scanned);
}
