#include "app/device_hubs.h"

#include "app/announcer.h"
#include "engine/hub.h"
#include "engine/serial_bridge.h"
#include "engine/socket_endpoint.h"
#include "platform/component_error.h"
#include "platform/handler_guard.h"
#include "platform/log_categories.h"
#include "platform/log_scope.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace {
const int Server = endpointOf(EndpointRole::ServerListener);
constexpr int RetryMs = 3000;
} // namespace

DeviceHubs::DeviceHubs(const QString &path, const QString &configDir, QObject *parent)
    : QObject(parent), m_path(path), m_configDir(configDir), m_retry(new QTimer(this))
{
    // A device missing at start is looked for as often as the hubs' tick
    // looks for one that vanished; from its first open on, its hub does.
    m_retry->setInterval(RetryMs);
    connect(m_retry, &QTimer::timeout, this, [this] {
        for (Running &running : m_running) {
            if (!running.opened)
                runHandler("device hub: open", [&] { tryOpen(running); });
        }
    });
    m_retry->start();
}

DeviceHubs::~DeviceHubs()
{
    closeAll();
}

void DeviceHubs::logProblems(const DeviceList &list)
{
    for (const QString &complaint : list.complaints)
        qCWarning(lcApp, "%s", qUtf8Printable(complaint));
    for (const QString &refused : list.refused)
        qCWarning(lcApp, "%s: not started", qUtf8Printable(refused));
}

bool DeviceHubs::start(QStringList *failures)
{
    m_list = DeviceList::read(m_path, m_configDir);
    if (!m_list.error.isEmpty()) {
        failures->append(QStringLiteral("the devices file %1 cannot be read: %2").arg(m_path, m_list.error));
        return false;
    }
    logProblems(m_list);
    if (m_list.devices.isEmpty()) {
        failures->append(QStringLiteral("the devices file %1 has no device that can run").arg(m_path));
        failures->append(m_list.refused);
        return false;
    }
    for (const DeviceConfig &config : std::as_const(m_list.devices))
        startHub(config);
    qCInfo(lcApp, "serving %lld device%s from %s", qint64(m_running.size()), m_running.size() == 1 ? "" : "s",
           qUtf8Printable(m_path));
    return true;
}

void DeviceHubs::startHub(const DeviceConfig &config)
{
    const LogScope scope(config.name);
    auto *hub = new Hub(m_configDir, this);
    hub->setName(config.name);
    m_running.append({config, hub});
    hub->setNetwork(config.network);
    (void)hub->setTls(config.tls); // nothing listens yet
    hub->serial().setStoredLine(config.line);
    hub->serve();
    if (config.announce)
        m_running.back().announcer = new Announcer(*hub, config.announcedName(), hub);

    // The TCP/IP Server listens once its device is open: a peer must not
    // take a port that leads nowhere. A device that comes later (or comes
    // back) is opened by the tick.
    const auto listenOnce = [hub, config] {
        if (!config.listen || !hub->serial().comm().PortOpen() || hub->endpoint(Server).armed)
            return;
        try {
            hub->listen(Server, config.listenPort);
        } catch (const ComponentError &error) {
            qCWarning(lcNet, "TCP/IP Server cannot listen on port %d: %s", int(config.listenPort),
                      qUtf8Printable(error.text()));
        }
    };
    connect(hub, &Hub::portChanged, hub, [hub, listenOnce] {
        const LogScope scope(hub->name());
        runHandler("device hub: port changed", listenOnce);
    });
    tryOpen(m_running.back());
    const auto forward = [hub](int index, const DeviceConfig::Forwarder &to) {
        if (!to.on())
            return;
        try {
            hub->connectTo(index, to.host, to.port);
        } catch (const ComponentError &error) {
            qCWarning(lcNet, "%s cannot connect to %s:%u: %s", endpointName(index), qUtf8Printable(to.host),
                      unsigned(to.port), qUtf8Printable(error.text()));
        }
    };
    forward(endpointOf(EndpointRole::SoftwareForwarder), config.softwareForwarder);
    forward(endpointOf(EndpointRole::DataHostForwarder), config.dataHostForwarder);
}

void DeviceHubs::tryOpen(Running &running)
{
    Hub *hub = running.hub;
    const DeviceConfig &config = running.config;
    const LogScope scope(config.name);
    const int number = config.portNumber != 0 ? config.portNumber : hub->ports().numberFor(config.device);
    const QString device = config.device.isEmpty() ? hub->ports().devicePath(number) : config.device;
    QString why = QStringLiteral("no such device");
    if (number != 0) {
        try {
            hub->openPort(number);
            running.opened = true;
            return;
        } catch (const ComponentError &error) {
            why = error.text();
        }
    }
    // Once per device: the tick tries again every few seconds.
    if (!std::exchange(running.failureLogged, true))
        qCWarning(lcSerial, "%s cannot be opened: %s; it is opened once it can be", qUtf8Printable(device),
                  qUtf8Printable(why));
}

void DeviceHubs::stopHub(const QString &name)
{
    const auto it = std::find_if(m_running.begin(), m_running.end(),
                                 [&](const Running &running) { return running.config.name == name; });
    if (it == m_running.end())
        return;
    Hub *hub = it->hub;
    // Withdrawn at once: the hub goes only after this event.
    delete it->announcer;
    m_running.erase(it);
    const LogScope scope(name);
    hub->shutDown();
    qCInfo(lcApp, "stopped");
    hub->deleteLater();
}

void DeviceHubs::reload()
{
    const DeviceList after = DeviceList::read(m_path, m_configDir);
    if (!after.error.isEmpty()) {
        qCWarning(lcApp, "the devices file %s cannot be read again: %s; every device runs on as it was",
                  qUtf8Printable(m_path), qUtf8Printable(after.error));
        return;
    }
    logProblems(after);
    const DeviceChanges changes = compare(m_list, after);
    for (const QString &name : changes.removed + changes.changed)
        stopHub(name);
    m_list = after;
    for (const DeviceConfig &config : std::as_const(after.devices)) {
        if (changes.added.contains(config.name) || changes.changed.contains(config.name))
            startHub(config);
    }
    // Renewed certificates: the unchanged sections with TLS take the files
    // as they are now, at once; their peers stay.
    for (const Running &running : std::as_const(m_running)) {
        if (!changes.unchanged.contains(running.config.name) || !running.config.tls.enabled)
            continue;
        const LogScope scope(running.config.name);
        for (const Engine::StoppedListener &stopped : running.hub->reloadTls())
            qCWarning(lcNet, "%s stopped listening: %s", endpointName(stopped.index),
                      qUtf8Printable(stopped.why));
    }
    qCInfo(lcApp, "devices file read again: %lld added, %lld changed, %lld removed, %lld unchanged",
           qint64(changes.added.size()), qint64(changes.changed.size()), qint64(changes.removed.size()),
           qint64(changes.unchanged.size()));
}

void DeviceHubs::closeAll()
{
    for (const Running &running : std::as_const(m_running)) {
        const LogScope scope(running.config.name);
        running.hub->shutDown();
    }
}

QList<const Engine *> DeviceHubs::hubs() const
{
    QList<const Engine *> list;
    for (const Running &running : m_running)
        list.append(running.hub);
    return list;
}

Hub *DeviceHubs::hub(const QString &name) const
{
    for (const Running &running : m_running) {
        if (running.config.name == name)
            return running.hub;
    }
    return nullptr;
}

bool DeviceHubs::announces() const
{
    return std::any_of(m_running.cbegin(), m_running.cend(),
                       [](const Running &running) { return running.announcer != nullptr; });
}
