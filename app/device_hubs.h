#pragma once

#include "engine/device_list.h"

#include <QList>
#include <QObject>
#include <QString>

class Announcer;
class Engine;
class Hub;
class QTimer;

// The hubs of a --devices run: one per section of the devices file, each
// serving its own events under its own name. A hub whose device is missing
// waits for it without disturbing the others; reading the file again starts
// the sections added, restarts the ones changed and stops the ones removed,
// and leaves the others alone. A section with Announce has its TCP/IP Server
// announced by DNS-SD while the hub runs: a restarted section's announcement
// is withdrawn and made again, an unchanged one's stays.
class DeviceHubs : public QObject
{
    Q_OBJECT

public:
    // `configDir` holds ports.ini (port numbers) and Harborcast.ini.
    DeviceHubs(const QString &path, const QString &configDir, QObject *parent = nullptr);
    ~DeviceHubs() override;

    // Reads the file and starts a hub per section that can run. False, with
    // the reasons in `failures`, when the file cannot be read or no section
    // can run: nothing is started then.
    bool start(QStringList *failures);
    // Reads the file again and applies what changed (logged). A file that
    // cannot be read now changes nothing.
    void reload();
    // Closes every hub as Exit does.
    void closeAll();

    [[nodiscard]] QList<const Engine *> hubs() const;
    [[nodiscard]] Hub *hub(const QString &name) const;
    // True when a running section announces its hub.
    [[nodiscard]] bool announces() const;

private:
    struct Running {
        DeviceConfig config;
        Hub *hub = nullptr;
        Announcer *announcer = nullptr; // with Announce: goes before its hub
        bool opened = false;        // its device was open once: its hub looks after it now
        bool failureLogged = false; // why it cannot be opened yet, said once
    };
    void startHub(const DeviceConfig &config);
    // Opens the device of `running` unless it cannot be yet.
    void tryOpen(Running &running);
    void stopHub(const QString &name);
    // Logs what the file says that was not understood, and the sections refused.
    static void logProblems(const DeviceList &list);

    QString m_path;
    QString m_configDir;
    DeviceList m_list;
    QList<Running> m_running; // in the file's order
    QTimer *m_retry;
};
