#include "engine/settings_store.h"

#include "platform/component_error.h"
#include "platform/log_categories.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <optional>

namespace {

// The text of a stored value. QSettings splits an unquoted value at its
// commas; the pieces are joined back so that a list typed by hand reads as
// typed. Anything else (an @Variant, an @ByteArray) is no text.
std::optional<QString> textOf(const QVariant &value)
{
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return std::nullopt;
}

} // namespace

SettingsStore::SettingsStore(QString dir) : m_dir(std::move(dir)) {}

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
    if (const std::optional<QString> text = textOf(ini.value(name)))
        return *text;
    qCWarning(lcApp, "%s [%s] %s cannot be read; using %s", qUtf8Printable(path),
              qUtf8Printable(section), qUtf8Printable(key), qUtf8Printable(meaning));
    return closed;
}

void SettingsStore::write(const QString &application, const QString &section, const QString &key,
                          const QString &value)
{
    if (!QDir().mkpath(m_dir))
        throw ComponentError(WriteFailedCode,
                             QStringLiteral("Cannot create the settings folder ") + m_dir);
    const QString path = filePath(application);
    // The supervision tick saves the second server's port every 3 s: when
    // the file already holds the value, leave the disk alone.
    if (QFileInfo(path).isFile()) {
        const QSettings current(path, QSettings::IniFormat);
        const std::optional<QString> stored = textOf(current.value(section + QLatin1Char('/') + key));
        if (current.status() == QSettings::NoError && stored == value)
            return;
    }
    const QString name = section + QLatin1Char('/') + key;
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
