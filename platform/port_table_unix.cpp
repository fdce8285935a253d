#include "platform/port_table_os.h"

#include <QDir>
#include <QFileInfo>

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

} // namespace port_table_os
