#include "platform/line_settings.h"

#include "engine/settings_store.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<LineSettings::Parity, const char *>, 5> ParityNames {{
    {LineSettings::Parity::None, "None"},
    {LineSettings::Parity::Odd, "Odd"},
    {LineSettings::Parity::Even, "Even"},
    {LineSettings::Parity::Mark, "Mark"},
    {LineSettings::Parity::Space, "Space"},
}};
constexpr std::array<std::pair<LineSettings::Flow, const char *>, 3> FlowNames {{
    {LineSettings::Flow::None, "None"},
    {LineSettings::Flow::RtsCts, "RtsCts"},
    {LineSettings::Flow::XonXoff, "XonXoff"},
}};

constexpr char ParityLetters[] = "NOEMS";

QChar parityLetter(LineSettings::Parity parity)
{
    return QLatin1Char(ParityLetters[int(parity)]);
}
} // namespace

bool LineSettings::validStopBits(const QString &text)
{
    return text == QLatin1String("1") || text == QLatin1String("1.5") || text == QLatin1String("2");
}

QString LineSettings::parityText(Parity parity)
{
    return QLatin1String(ParityNames[std::size_t(parity)].second);
}

QString LineSettings::flowText(Flow flow)
{
    return QLatin1String(FlowNames[std::size_t(flow)].second);
}

bool LineSettings::parityFromText(const QString &text, Parity *parity)
{
    for (const auto &[value, name] : ParityNames) {
        if (text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) {
            *parity = value;
            return true;
        }
    }
    return false;
}

bool LineSettings::flowFromText(const QString &text, Flow *flow)
{
    for (const auto &[value, name] : FlowNames) {
        if (text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) {
            *flow = value;
            return true;
        }
    }
    return false;
}

QString LineSettings::commSettings() const
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(baudRate)
        .arg(parityLetter(parity))
        .arg(dataBits)
        .arg(stopBits);
}

std::optional<LineSettings> LineSettings::fromCommSettings(const QString &text, LineSettings base)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;
    const QString baud = fields.at(0).trimmed();
    const qsizetype parity = QLatin1String(ParityLetters).indexOf(fields.at(1).trimmed().toUpper());
    const QString data = fields.at(2).trimmed();
    const QString stop = fields.at(3).trimmed();
    bool ok = false;
    const bool allDigits = !baud.isEmpty()
        && std::all_of(baud.cbegin(), baud.cend(), [](QChar c) { return c.isDigit(); });
    const qint32 rate = allDigits ? baud.toInt(&ok) : 0;
    const int bits = data.size() == 1 ? data.at(0).digitValue() : -1;
    if (!ok || rate <= 0 || fields.at(1).trimmed().size() != 1 || parity < 0 || bits < 5 || bits > 8
        || !validStopBits(stop))
        return std::nullopt;
    base.baudRate = rate;
    base.parity = Parity(parity);
    base.dataBits = bits;
    base.stopBits = stop;
    return base;
}

int LineSettings::commFlowControl() const
{
    return int(flowControl);
}

QString LineSettings::describe() const
{
    static const char *const flows[] = {"no flow control", "RTS/CTS", "XON/XOFF"};
    return QStringLiteral("%1 %2%3%4, %5, DTR %6, RTS %7")
        .arg(baudRate)
        .arg(dataBits)
        .arg(parityLetter(parity))
        .arg(stopBits)
        .arg(QLatin1String(flows[int(flowControl)]))
        .arg(dtr ? QLatin1String("on") : QLatin1String("off"))
        .arg(rts ? QLatin1String("on") : QLatin1String("off"));
}

bool LineSettings::setFraming(const QString &text)
{
    if (text.size() < 3)
        return false;
    const int data = text.at(0).digitValue();
    const int parityAt = QStringLiteral("NOEMS").indexOf(text.at(1).toUpper());
    const QString stop = text.mid(2);
    if (data < 5 || data > 8 || parityAt < 0 || !validStopBits(stop))
        return false;
    dataBits = data;
    parity = Parity(parityAt);
    stopBits = stop;
    return true;
}

