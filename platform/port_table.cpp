#include "platform/port_table.h"

#include "platform/flag_text.h"
#include "platform/log_categories.h"
#include "platform/port_table_os.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSerialPortInfo>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <utility>

namespace {

// A key of [pinned] or [assigned]: 1..64, else 0.
int portNumberKey(const QString &key)
{
    bool ok = false;
    const int number = key.toInt(&ok, 10);
    if (!ok || number < PortTable::FirstPort || number > PortTable::LastPort)
        return 0;
    return number;
}

// ---- ports.ini ------------------------------------------------------------

enum class Section { None, Numbering, Pinned, Assigned, Other };

struct IniFile {
    bool exists = false;
    QStringList lines;             // as read, without line ends
    bool automatic = true;
    QMap<int, QString> pinned;     // number -> device path
    QMap<int, QString> refused;    // number -> pinned path refused (control characters)
    QMap<int, QString> assigned;   // number -> stable identity
    QStringList notUnderstood;     // one line each: what is ignored or read otherwise
};

// "[name]" -> the section it opens; *isHeader false for any other line.
Section sectionOf(const QString &trimmed, bool *isHeader)
{
    *isHeader = trimmed.startsWith(QLatin1Char('[')) && trimmed.endsWith(QLatin1Char(']'));
    if (!*isHeader)
        return Section::None;
    const QString name = trimmed.mid(1, trimmed.size() - 2).trimmed().toLower();
    if (name == QLatin1String("numbering"))
        return Section::Numbering;
    if (name == QLatin1String("pinned"))
        return Section::Pinned;
    if (name == QLatin1String("assigned"))
        return Section::Assigned;
    return Section::Other;
}

// Cuts a trailing comment: ';' or '#' at the start or after white space.
QString withoutComment(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if ((c == QLatin1Char(';') || c == QLatin1Char('#')) && (i == 0 || text.at(i - 1).isSpace()))
            return text.left(i).trimmed();
    }
    return text.trimmed();
}

// No device path holds a NUL byte or another control character; such a path
// would only confuse the file and lock-file calls it is handed to.
bool holdsControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}


IniFile readIni(const QString &path)
{
    IniFile ini;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ini;
    ini.exists = true;
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    ini.lines = text.split(QLatin1Char('\n'));
    if (!ini.lines.isEmpty() && ini.lines.last().isEmpty())
        ini.lines.removeLast();

    Section section = Section::None;
    QString sectionName;
    const auto ignored = [&ini, &sectionName](const QString &key, const QString &value,
                                             const char *why) {
        ini.notUnderstood.append(QStringLiteral("ports.ini [%1] %2=%3 %4; ignored")
                                     .arg(sectionName, key, value, QLatin1String(why)));
    };
    for (const QString &line : std::as_const(ini.lines)) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';'))
            || trimmed.startsWith(QLatin1Char('#')))
            continue;
        bool isHeader = false;
        const Section opened = sectionOf(trimmed, &isHeader);
        if (isHeader) {
            section = opened;
            sectionName = trimmed.mid(1, trimmed.size() - 2).trimmed();
            continue;
        }
        const qsizetype eq = trimmed.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            ini.notUnderstood.append(
                QStringLiteral("ports.ini: \"%1\" is no key=value line; ignored").arg(trimmed));
            continue;
        }
        const QString key = trimmed.left(eq).trimmed();
        const QString value = withoutComment(trimmed.mid(eq + 1));
        switch (section) {
        case Section::Numbering:
            if (key.compare(QLatin1String("automatic"), Qt::CaseInsensitive) != 0) {
                ignored(key, value, "is not a setting");
            } else if (const std::optional<bool> on = flag_text::parse(value)) {
                ini.automatic = *on;
            } else {
                // Numbering devices nobody named could open a real port:
                // a value that is no flag numbers nothing.
                ini.automatic = false;
                ini.notUnderstood.append(
                    QStringLiteral("ports.ini [%1] %2=%3 is not %4; using false (only the "
                                   "pinned numbers exist)")
                        .arg(sectionName, key, value, QLatin1String(flag_text::Forms)));
            }
            break;
        case Section::Pinned:
        case Section::Assigned:
            if (const int number = portNumberKey(key); number == 0)
                ignored(key, value, "is not a port number from 1 to 64");
            else if (value.isEmpty())
                ignored(key, value, "names no device");
            else if (section == Section::Assigned)
                ini.assigned.insert(number, value);
            else if (holdsControlCharacter(value))
                ini.refused.insert(number, value);
            else
                ini.pinned.insert(number, value);
            break;
        case Section::None:
        case Section::Other:
            ini.notUnderstood.append(
                QStringLiteral("ports.ini [%1] %2=%3 is not in [numbering], [pinned] or "
                               "[assigned]; ignored")
                    .arg(section == Section::None ? QStringLiteral("no section") : sectionName,
                         key, value));
            break;
        }
    }
    return ini;
}

// Rewrites the [assigned] section; every other line stays as written. A new
// file gets a short explanation and the other two sections. Failing to write
// (read-only folder or file) only means the numbers are not remembered.
void writeAssigned(const QString &dir, const QString &path, const IniFile &ini,
                   const QMap<int, QString> &assigned)
{
    QStringList out;
    if (ini.exists) {
        Section section = Section::None;
        for (const QString &line : ini.lines) {
            bool isHeader = false;
            const Section opened = sectionOf(line.trimmed(), &isHeader);
            if (isHeader)
                section = opened;
            if (section != Section::Assigned)
                out << line;
        }
        while (!out.isEmpty() && out.last().trimmed().isEmpty())
            out.removeLast();
    } else {
        out << QStringLiteral("; Quaylight serial port numbers 1..64. Edits apply at once.")
            << QStringLiteral("; [numbering] automatic=false: only the pinned numbers exist.")
            << QStringLiteral("; [pinned] N=/dev/path pins number N to any device file.")
            << QStringLiteral("; [assigned] is kept by Quaylight: the remembered automatic numbers.")
            << QStringLiteral("[numbering]") << QStringLiteral("automatic=true") << QString()
            << QStringLiteral("[pinned]");
    }
    if (!out.isEmpty())
        out << QString();
    out << QStringLiteral("[assigned]");
    for (auto it = assigned.cbegin(); it != assigned.cend(); ++it)
        out << QString::number(it.key()) + QLatin1Char('=') + it.value();

    if (!QDir().mkpath(dir))
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write((out.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    file.commit();
}

// ---- Devices ----------------------------------------------------------------

// "/dev/ttyUSB10" -> ("/dev/ttyUSB", 10), for ttyS2 before ttyS10.
std::pair<QString, qint64> naturalKey(const QString &path)
{
    qsizetype digits = path.size();
    while (digits > 0 && path.at(digits - 1).isDigit())
        --digits;
    bool ok = false;
    const qint64 number = QStringView(path).mid(digits).toLongLong(&ok);
    return {path.left(digits), ok ? number : -1};
}

bool isOnBoardUartName(const QString &name)
{
    // 8250/16550 (PC), PL011 (Raspberry Pi), i.MX, Samsung, OMAP, Tegra,
    // Qualcomm, Meson, STM32 and similar SoC UART drivers.
    static const char *const prefixes[] = {"ttyS", "ttyAMA", "ttymxc", "ttySAC", "ttyO",
                                           "ttyTHS", "ttyMSM", "ttyHS", "ttyAML", "ttySTM",
                                           "ttyLP", "ttySC", "ttySIF"};
    for (const char *prefix : prefixes) {
        const QLatin1String p(prefix);
        if (name.startsWith(p) && name.size() > p.size() && name.at(p.size()).isDigit())
            return true;
    }
    return false;
}

QString canonicalOrSelf(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

} // namespace

PortTable::PortTable(QString configDir)
    : PortTable(std::move(configDir), &PortTable::systemDevices)
{
}

PortTable::PortTable(QString configDir, DeviceLister lister)
    : m_configDir(std::move(configDir)), m_lister(std::move(lister))
{
}

QString PortTable::filePath() const
{
    return m_configDir + QStringLiteral("/ports.ini");
}

QString PortTable::devicePath(int number) const
{
    if (number < FirstPort || number > LastPort)
        return {};
    return resolve().value(number);
}

int PortTable::numberFor(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return 0;
    const QMap<int, QString> table = resolve();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (it.value() == canonical || it.value() == path)
            return it.key();
    }
    const IniFile ini = readIni(filePath());
    for (int number = FirstPort; number <= LastPort; ++number) {
        if (!table.contains(number) && !ini.pinned.contains(number)
            && !ini.refused.contains(number) && !ini.assigned.contains(number)) {
            // The path as given: a link (/dev/serial/by-id/...) is followed
            // again at each open, so the number stays with the device when
            // it comes back on another tty.
            m_runPins.insert(number, QFileInfo(path).absoluteFilePath());
            return number;
        }
    }
    return 0;
}

QList<PortTable::Entry> PortTable::entries() const
{
    QList<Entry> list;
    const QMap<int, QString> table = resolve();
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        list.append(Entry {it.key(), it.value()});
    return list;
}

QList<PortTable::Row> PortTable::rows() const
{
    const QMap<int, QString> present = resolve(); // may remember new devices first
    const IniFile ini = readIni(filePath());
    QHash<QString, QString> identityOf;
    if (m_lister) {
        for (const Device &device : m_lister())
            identityOf.insert(canonicalOrSelf(device.path), device.identity);
    }
    QMap<int, Row> rows;
    const auto add = [&](int number, const QString &pathAsNamed, const QString &identity) {
        Row row {number, present.value(number, pathAsNamed), identity, present.contains(number)};
        if (row.identity.isEmpty())
            row.identity = identityOf.value(canonicalOrSelf(row.devicePath), row.devicePath);
        row.locked = row.present && port_table_os::lockedByProcess(row.devicePath);
        rows.insert(number, row);
    };
    for (auto it = ini.pinned.cbegin(); it != ini.pinned.cend(); ++it)
        add(it.key(), it.value(), QString());
    if (ini.automatic) {
        for (auto it = ini.assigned.cbegin(); it != ini.assigned.cend(); ++it) {
            if (!rows.contains(it.key()))
                add(it.key(), QString(), it.value());
        }
    }
    for (auto it = present.cbegin(); it != present.cend(); ++it) {
        if (!rows.contains(it.key()))
            add(it.key(), it.value(), QString());
    }
    return rows.values();
}

QString PortTable::stableIdentity(const QString &path, const QString &byIdName, bool hasUsbIds,
                                  quint16 vendorId, quint16 productId,
                                  const QString &serialNumber)
{
    if (!byIdName.isEmpty())
        return byIdName;
    if (hasUsbIds && !serialNumber.trimmed().isEmpty()) {
        return QStringLiteral("usb:%1:%2:%3")
            .arg(vendorId, 4, 16, QLatin1Char('0'))
            .arg(productId, 4, 16, QLatin1Char('0'))
            .arg(serialNumber.trimmed());
    }
    return path;
}

QList<PortTable::Device> PortTable::systemDevices()
{
    QList<Device> devices;
    const QHash<QString, QString> byId = port_table_os::byIdNames();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        Device device;
        device.path = info.systemLocation();
        const QString byIdName = byId.value(canonicalOrSelf(device.path));
        const bool usb = info.hasVendorIdentifier() && info.hasProductIdentifier();
        device.identity = stableIdentity(device.path, byIdName, usb, info.vendorIdentifier(),
                                         info.productIdentifier(), info.serialNumber());
        device.builtIn = !usb && byIdName.isEmpty() && isOnBoardUartName(info.portName());
        devices.append(device);
    }
    return devices;
}

QMap<int, QString> PortTable::resolve() const
{
    QMap<int, QString> table;
    IniFile ini = readIni(filePath());
    for (auto it = m_runPins.cbegin(); it != m_runPins.cend(); ++it) {
        if (!ini.pinned.contains(it.key()))
            ini.pinned.insert(it.key(), it.value());
    }
    for (const QString &line : std::as_const(ini.notUnderstood)) {
        if (!m_refusedWarned.contains(line)) {
            m_refusedWarned.insert(line);
            qCWarning(lcSerial, "%s", qUtf8Printable(line));
        }
    }
    for (auto it = ini.refused.cbegin(); it != ini.refused.cend(); ++it) {
        const QString entry = QString::number(it.key()) + QLatin1Char('=') + it.value();
        if (!m_refusedWarned.contains(entry)) {
            m_refusedWarned.insert(entry);
            qCWarning(lcSerial).nospace()
                << "ports.ini: the pinned path of number " << it.key() << ", " << it.value()
                << ", holds a control character; number " << it.key() << " names no device";
        }
    }

    // Pinned numbers: a path that does not exist (an absent device) is no
    // device; a refused path (control characters) is none either.
    QSet<QString> pinnedDevices;
    for (auto it = ini.pinned.cbegin(); it != ini.pinned.cend(); ++it) {
        const QString canonical = QFileInfo(it.value()).canonicalFilePath();
        if (canonical.isEmpty())
            continue;
        table.insert(it.key(), canonical);
        pinnedDevices.insert(canonical);
    }
    if (!ini.automatic || !m_lister)
        return table;

    // Remembered numbers, lowest first; a number pinned since, or a second
    // number for one identity, is forgotten.
    QMap<int, QString> assigned;
    QHash<QString, int> numberOf;
    for (auto it = ini.assigned.cbegin(); it != ini.assigned.cend(); ++it) {
        if (ini.pinned.contains(it.key()) || ini.refused.contains(it.key())
            || numberOf.contains(it.value()))
            continue;
        assigned.insert(it.key(), it.value());
        numberOf.insert(it.value(), it.key());
    }

    // Built-in UARTs first, then the rest, each in natural path order, so a
    // fresh table numbers the on-board ports lowest.
    QList<Device> devices = m_lister();
    std::stable_sort(devices.begin(), devices.end(), [](const Device &a, const Device &b) {
        if (a.builtIn != b.builtIn)
            return a.builtIn;
        return naturalKey(a.path) < naturalKey(b.path);
    });

    QSet<QString> seenIdentities;
    QSet<QString> seenPaths;
    for (const Device &device : std::as_const(devices)) {
        if (device.path.isEmpty() || seenPaths.contains(device.path))
            continue;
        seenPaths.insert(device.path);
        if (pinnedDevices.contains(canonicalOrSelf(device.path)))
            continue; // pinned by the user: not numbered twice
        QString identity = device.identity.isEmpty() ? device.path : device.identity;
        if (seenIdentities.contains(identity))
            identity = device.path; // two devices claim one identity: the second goes by path
        if (seenIdentities.contains(identity))
            continue;
        seenIdentities.insert(identity);

        int number = numberOf.value(identity, 0);
        if (number == 0) {
            for (int candidate = FirstPort; candidate <= LastPort; ++candidate) {
                if (!ini.pinned.contains(candidate) && !ini.refused.contains(candidate)
                    && !assigned.contains(candidate)) {
                    number = candidate;
                    break;
                }
            }
            if (number == 0)
                continue; // all 64 numbers taken: this device gets none
            assigned.insert(number, identity);
            numberOf.insert(identity, number);
        }
        table.insert(number, device.path);
    }

    if (assigned != ini.assigned)
        writeAssigned(m_configDir, filePath(), ini, assigned);
    return table;
}
