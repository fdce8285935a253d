#include "relay/settings_store.h"

#include "platform/component_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

SettingsStore::SettingsStore(QString dir) : m_dir(std::move(dir)) {}

QString SettingsStore::filePath(const QString &application) const
{
    return m_dir + QLatin1Char('/') + application + QStringLiteral(".ini");
}

QString SettingsStore::read(const QString &application, const QString &section,
                            const QString &key, const QString &fallback) const
{
    const QString path = filePath(application);
    if (!QFileInfo(path).isFile())
        return fallback;
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return fallback;
    const QVariant value = ini.value(section + QLatin1Char('/') + key);
    // A hand-edited file can hold a list ("a, b") or an @Variant; only plain
    // text counts as a stored value.
    if (!value.isValid() || value.typeId() != QMetaType::QString)
        return fallback;
    return value.toString();
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
        const QVariant stored = current.value(section + QLatin1Char('/') + key);
        if (current.status() == QSettings::NoError && stored.typeId() == QMetaType::QString
            && stored.toString() == value)
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
