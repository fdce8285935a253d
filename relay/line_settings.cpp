#include "relay/line_settings.h"

#include "relay/settings_store.h"

#include <array>
#include <utility>

namespace {
const QString Tolvar = QStringLiteral("Tolvar");
const QString Line = QStringLiteral("line");

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

bool validStopBits(const QString &text)
{
    return text == QLatin1String("1") || text == QLatin1String("1.5") || text == QLatin1String("2");
}

QChar parityLetter(LineSettings::Parity parity)
{
    return QLatin1Char("NOEMS"[int(parity)]);
}
} // namespace

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

LineSettings LineSettings::load(const SettingsStore &store, QStringList *complaints)
{
    LineSettings line;
    const auto read = [&store](const char *key) {
        return store.read(Tolvar, Line, QLatin1String(key), QString());
    };
    const auto complain = [complaints](const char *key, const QString &value,
                                       const QString &fallback) {
        if (complaints)
            complaints->append(QStringLiteral("Tolvar.ini [line] %1=%2 is not valid; using %3")
                                   .arg(QLatin1String(key), value, fallback));
    };

    if (const QString v = read("BaudRate"); !v.isEmpty()) {
        bool ok = false;
        const qint32 baud = v.trimmed().toInt(&ok);
        if (ok && baud > 0)
            line.baudRate = baud;
        else
            complain("BaudRate", v, QString::number(line.baudRate));
    }
    if (const QString v = read("DataBits"); !v.isEmpty()) {
        bool ok = false;
        const int bits = v.trimmed().toInt(&ok);
        if (ok && bits >= 5 && bits <= 8)
            line.dataBits = bits;
        else
            complain("DataBits", v, QString::number(line.dataBits));
    }
    if (const QString v = read("Parity"); !v.isEmpty() && !parityFromText(v.trimmed(), &line.parity))
        complain("Parity", v, parityText(line.parity));
    if (const QString v = read("StopBits"); !v.isEmpty()) {
        if (validStopBits(v.trimmed()))
            line.stopBits = v.trimmed();
        else
            complain("StopBits", v, line.stopBits);
    }
    if (const QString v = read("FlowControl");
        !v.isEmpty() && !flowFromText(v.trimmed(), &line.flowControl))
        complain("FlowControl", v, flowText(line.flowControl));
    for (auto [key, flag] : {std::pair {"DTR", &line.dtr}, std::pair {"RTS", &line.rts}}) {
        const QString v = read(key).trimmed().toLower();
        if (v == QLatin1String("true"))
            *flag = true;
        else if (v == QLatin1String("false"))
            *flag = false;
        else if (!v.isEmpty())
            complain(key, read(key), QStringLiteral("false"));
    }
    return line;
}

void LineSettings::save(SettingsStore &store) const
{
    const auto write = [&store](const char *key, const QString &value) {
        store.write(Tolvar, Line, QLatin1String(key), value);
    };
    write("BaudRate", QString::number(baudRate));
    write("DataBits", QString::number(dataBits));
    write("Parity", parityText(parity));
    write("StopBits", stopBits);
    write("FlowControl", flowText(flowControl));
    write("DTR", dtr ? QStringLiteral("true") : QStringLiteral("false"));
    write("RTS", rts ? QStringLiteral("true") : QStringLiteral("false"));
}
