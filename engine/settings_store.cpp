#include "engine/settings_store.h"

#include "platform/component_error.h"
#include "platform/flag_text.h"
#include "platform/log_categories.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <optional>

namespace {

// A value without its comment: QSettings ends a value at a ';' outside
// double quotes.
QString withoutComment(const QString &value)
{
    bool quoted = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) == QLatin1Char('"'))
            quoted = !quoted;
        else if (value.at(i) == QLatin1Char(';') && !quoted)
            return value.left(i).trimmed();
    }
    return value.trimmed();
}

// The line `key=...` of `[section]` in the INI file at `path`, right of
// its '=' and trimmed: the value as typed. Nothing when there is none.
std::optional<QString> typedValue(const QString &path, const QString &section, const QString &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    const QString header = QLatin1Char('[') + section + QLatin1Char(']');
    bool inSection = false;
    std::optional<QString> found;
    for (const QString &raw : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inSection = line == header;
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (inSection && eq > 0 && line.left(eq).trimmed() == key)
            found = withoutComment(line.mid(eq + 1)); // the last one wins, as in QSettings
    }
    return found;
}

} // namespace

SettingsStore::SettingsStore(QString dir) : m_dir(std::move(dir)) {}

std::optional<QString> SettingsStore::textOf(const QVariant &value, const QString &path,
                                             const QString &name)
{
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    if (value.typeId() == QMetaType::QStringList) {
        const qsizetype slash = name.indexOf(QLatin1Char('/'));
        if (std::optional<QString> typed = typedValue(path, name.left(slash), name.mid(slash + 1)))
            return typed;
        return value.toStringList().join(QLatin1Char(','));
    }
    return std::nullopt;
}

QString SettingsStore::filePath(const QString &application) const
{
    return m_dir + QLatin1Char('/') + application + QStringLiteral(".ini");
}

QString SettingsStore::read(const QString &application, const QString &section,
                            const QString &key, const QString &fallback) const
{
    return read(application, section, key, fallback, fallback,
                fallback.isEmpty() ? QStringLiteral("nothing")
                                   : QLatin1Char('"') + fallback + QLatin1Char('"'));
}

QString SettingsStore::read(const QString &application, const QString &section,
                            const QString &key, const QString &fallback, const QString &closed,
                            const QString &meaning) const
{
    const QString path = filePath(application);
    if (!QFileInfo(path).isFile())
        return fallback;
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return fallback;
    const QString name = section + QLatin1Char('/') + key;
    if (!ini.contains(name))
        return fallback;
    if (const std::optional<QString> text = textOf(ini.value(name), path, name))
        return *text;
    qCWarning(lcApp, "%s [%s] %s cannot be read; using %s", qUtf8Printable(path),
              qUtf8Printable(section), qUtf8Printable(key), qUtf8Printable(meaning));
    return closed;
}

bool SettingsStore::readFlag(const QString &application, const QString &section,
                             const QString &key, bool fallback, bool otherwise,
                             QStringList *complaints) const
{
    const QString used = flag_text::write(otherwise);
    const QString text = read(application, section, key, QString(), used, used);
    if (text.isEmpty())
        return fallback;
    if (const std::optional<bool> on = flag_text::parse(text))
        return *on;
    if (complaints)
        complaints->append(QStringLiteral("%1.ini [%2] %3=%4 is not %5; using %6")
                               .arg(application, section, key, text,
                                    QLatin1String(flag_text::Forms), used));
    return otherwise;
}

QStringList SettingsStore::entries(const QString &application) const
{
    const QString path = filePath(application);
    if (!QFileInfo(path).isFile())
        return {};
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return {};
    QStringList found;
    for (const QString &key : ini.childKeys())
        found.append(QStringLiteral("General/") + key);
    for (const QString &group : ini.childGroups()) {
        ini.beginGroup(group);
        for (const QString &key : ini.allKeys())
            found.append(group + QLatin1Char('/') + key);
        ini.endGroup();
    }
    return found;
}

void SettingsStore::write(const QString &application, const QString &section, const QString &key,
                          const QString &value)
{
    if (!QDir().mkpath(m_dir))
        throw ComponentError(WriteFailedCode,
                             QStringLiteral("Cannot create the settings folder ") + m_dir);
    const QString path = filePath(application);
    const QString name = section + QLatin1Char('/') + key;
    // The supervision tick saves the second server's port every 3 s: when
    // the file already holds the value, leave the disk alone.
    if (QFileInfo(path).isFile()) {
        const QSettings current(path, QSettings::IniFormat);
        const std::optional<QString> stored = textOf(current.value(name), path, name);
        if (current.status() == QSettings::NoError && stored == value)
            return;
    }
    const auto attempt = [&] {
        QSettings ini(path, QSettings::IniFormat);
        ini.setValue(name, value);
        ini.sync();
        return ini.status();
    };
    QSettings::Status status = attempt();
    if (status == QSettings::FormatError) {
        // QSettings never rewrites a file it cannot parse: keep it aside for
        // the user and start a clean one.
        const QString aside = path + QStringLiteral(".corrupt");
        QFile::remove(aside);
        QFile::rename(path, aside);
        status = attempt();
    }
    if (status != QSettings::NoError) {
        // QSettings keeps the system's reason to itself; opening the file
        // for writing asks again ("Is a directory", "Operation not permitted").
        QFile probe(path);
        const QString why = probe.open(QIODevice::WriteOnly | QIODevice::Append)
            ? QStringLiteral("the system gave no reason")
            : probe.errorString();
        throw ComponentError(WriteFailedCode, QStringLiteral("Cannot write %1: %2").arg(path, why));
    }
}
