// The settings store on any file content (what startup reads) and any value
// (what the actions write): reading never fails, and a value written is read
// back unchanged.

#include "engine/settings_store.h"
#include "platform/component_error.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    SettingsStore store(dir.path());
    const QString app = QStringLiteral("Harborcast");
    const QString section = QStringLiteral("startup");

    // Startup: whatever the file holds, each field gets a text.
    QFile file(store.filePath(app));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(bytes);
    file.close();
    for (const char *key : {"LocalPort", "LocalPort2", "RemoteHost", "RemotePort", "RemoteHost3",
                            "RemotePort3"})
        (void)store.read(app, section, QLatin1String(key), QStringLiteral("default"));

    // An action saves the input as a field's text; the next run reads it back.
    const QString value = QString::fromUtf8(bytes);
    try {
        store.write(app, section, QStringLiteral("RemoteHost"), value);
    } catch (const ComponentError &) {
        std::abort(); // the folder is writable: a write must succeed
    }
    if (SettingsStore(dir.path()).read(app, section, QStringLiteral("RemoteHost"), QString()) != value)
        std::abort();
    QFile::remove(store.filePath(app));
    QFile::remove(store.filePath(app) + QStringLiteral(".corrupt"));
    return 0;
}
