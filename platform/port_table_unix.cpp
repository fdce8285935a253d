#include "platform/port_table_os.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>

namespace port_table_os {

QHash<QString, QString> byIdNames()
{
    QHash<QString, QString> byId;
    const QFileInfoList links =
        QDir(QStringLiteral("/dev/serial/by-id"))
            .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        const QString target = link.canonicalFilePath();
        if (!target.isEmpty() && !byId.contains(target))
            byId.insert(target, link.fileName());
    }
    return byId;
}

bool lockedByProcess(const QString &path)
{
    // Qt names the lock after the path below /dev, '/' made '_', in the
    // first of these folders it can write.
    QString name = path;
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    name = QStringLiteral("/LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *folder : {"/var/lock", "/run/lock", "/tmp"}) {
        QFile lock(QLatin1String(folder) + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        // The first line is the holder's process id (also in the old
        // ten-character UUCP form); a lock left by a dead process holds nothing.
        bool ok = false;
        const qint64 pid = lock.readLine(64).trimmed().toLongLong(&ok);
        if (ok && pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM))
            return true;
    }
    return false;
}

} // namespace port_table_os
