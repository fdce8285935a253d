#pragma once

#include <QString>

// The per-user settings store: text values addressed by application,
// section and key. Each application is one INI file in the config folder
// (<dir>/Harborcast.ini, <dir>/Tolvar.ini), the section its INI group.
class SettingsStore
{
public:
    // Code of a write that could not be stored (file or folder not writable).
    static constexpr int WriteFailedCode = 75;

    explicit SettingsStore(QString dir);

    // The stored text, or `fallback` when the key is absent or the file
    // cannot be read or parsed. Never throws.
    [[nodiscard]] QString read(const QString &application, const QString &section,
                               const QString &key, const QString &fallback) const;

    // Stores `value` exactly as given. Throws ComponentError(75), its text
    // naming the file and the system's reason, when it could not be written.
    void write(const QString &application, const QString &section, const QString &key,
               const QString &value);

    // Path of the INI file of `application`.
    [[nodiscard]] QString filePath(const QString &application) const;

private:
    QString m_dir;
};
