#include "platform/config_location.h"

#include <QDir>

QString quaylightConfigDir()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/quaylight");
}

QString quaylightServiceStateDir()
{
    return qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
}
