#pragma once

#include <QMap>
#include <QString>
#include <QTemporaryDir>

// A private $XDG_CONFIG_HOME for one test: the settings store and the port
// table live in it, so tests never see the user's files or real serial ports.
// Automatic port numbering is off; only the pins given here exist.
class TestConfig
{
public:
    TestConfig();
    ~TestConfig();

    TestConfig(const TestConfig &) = delete;
    TestConfig &operator=(const TestConfig &) = delete;

    // <tmp>/quaylight: the folder that holds ports.ini and the INI stores.
    [[nodiscard]] QString dir() const;

    // Rewrites ports.ini with exactly these pins (number -> device path).
    void pinPorts(const QMap<int, QString> &pins);

private:
    QTemporaryDir m_home;
    QByteArray m_previous;
    bool m_hadPrevious = false;
};
