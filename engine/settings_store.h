#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

// The per-user settings store: text values addressed by application,
// section and key. Each application is one INI file in the config folder
// (<dir>/Harborcast.ini, <dir>/Tolvar.ini), the section its INI group.
class SettingsStore
{
public:
    // Code of a write that could not be stored (file or folder not writable).
    static constexpr int WriteFailedCode = 75;

    explicit SettingsStore(QString dir);

    // The stored text as the user wrote it, or `fallback` when the key is
    // absent or the file cannot be read or parsed. A value written by hand
    // with an unquoted comma ("a, b") reads as that text, not as a list. A
    // value that is no text at all (an @Variant, an @ByteArray) reads as
    // `fallback` with one log line naming the file, section and key and what
    // is used instead. Never throws.
    [[nodiscard]] QString read(const QString &application, const QString &section,
                               const QString &key, const QString &fallback) const;
    // The same, but a value that is no text reads as `closed` (a setting that
    // must fail closed), logged with `meaning`.
    [[nodiscard]] QString read(const QString &application, const QString &section,
                               const QString &key, const QString &fallback,
                               const QString &closed, const QString &meaning) const;

    // A flag (true/false, yes/no, on/off, 1/0, any case): `fallback` when
    // absent, `otherwise` for any other text, which also adds a line to
    // `complaints` naming the file, section, key and what is used instead.
    // Never throws.
    [[nodiscard]] bool readFlag(const QString &application, const QString &section,
                                const QString &key, bool fallback, bool otherwise,
                                QStringList *complaints) const;

    // The sections of `application`'s file and the keys of each, as
    // "section/key" ("General/key" for a key before any section); empty when
    // the file is absent or cannot be parsed.
    [[nodiscard]] QStringList entries(const QString &application) const;

    // Stores `value` exactly as given. Throws ComponentError(75), its text
    // naming the file and the system's reason, when it could not be written.
    void write(const QString &application, const QString &section, const QString &key,
               const QString &value);

    // The text of `value`, what QSettings read from "section/key" (`name`)
    // of the INI file at `path`, as the user wrote it. QSettings splits an
    // unquoted value at its commas into a list; such a value is read again
    // from its line ("10.0.0.1,10.0.0.2", "Go away, please"). Anything else
    // (an @Variant, an @ByteArray) is no text: nothing.
    [[nodiscard]] static std::optional<QString> textOf(const QVariant &value, const QString &path,
                                                       const QString &name);

    // Path of the INI file of `application`.
    [[nodiscard]] QString filePath(const QString &application) const;

private:
    QString m_dir;
};
