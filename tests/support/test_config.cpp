#include "support/test_config.h"

#include <QDir>
#include <QFile>

TestConfig::TestConfig()
{
    m_hadPrevious = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    m_previous = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    QDir().mkpath(dir());
    pinPorts({});
}

TestConfig::~TestConfig()
{
    if (m_hadPrevious)
        qputenv("XDG_CONFIG_HOME", m_previous);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

QString TestConfig::dir() const
{
    return m_home.path() + QStringLiteral("/quaylight");
}

void TestConfig::pinPorts(const QMap<int, QString> &pins)
{
    QFile file(dir() + QStringLiteral("/ports.ini"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write ports.ini in the test folder");
    QByteArray text = "[numbering]\nautomatic=false\n\n[pinned]\n";
    for (auto it = pins.cbegin(); it != pins.cend(); ++it)
        text += QByteArray::number(it.key()) + '=' + it.value().toLocal8Bit() + '\n';
    file.write(text);
}
