#include "engine/device_list.h"

#include "engine/endpoint_table.h"
#include "engine/settings_store.h"
#include "platform/component_error.h"
#include "platform/flag_text.h"
#include "platform/host_port.h"
#include "platform/port_table.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryFile>

#include <optional>

namespace {

// Every key a section reads.
constexpr const char *Keys[] = {
    "Device", "Listen", "ListenAddress", "AllowedPeers", "Rfc2217", "ServerPeers",
    "ServerPeersKickOldest", "KickOldest", "RefusalText",
    "Enabled", "Certificate", "PrivateKey", "ClientCa", "ServerCa", "MinimumVersion",
    "Forwarder1", "Forwarder3", "RemoteHost", "RemotePort", "RemoteHost3", "RemotePort3",
    "BaudRate", "DataBits", "Parity", "StopBits", "FlowControl", "DTR", "RTS",
    "Baud", "Framing", "Flow", "Announce", "AnnounceName",
};

// The longest DNS-SD instance name: one DNS label.
constexpr qsizetype MaxAnnounceName = 63;

// A name fit for a log prefix and a metrics label.
bool isLabel(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._-]+$"));
    return pattern.match(name).hasMatch();
}

// A section as the file lays it out, beside what QSettings makes of it:
// QSettings keeps no order, merges a repeated section and passes over a
// line that is no KEY=VALUE.
struct SectionLayout {
    QString name;
    QStringList keys;
    QStringList repeatedKeys;
    QString problem; // the first thing that makes the section unreadable
};

struct FileLayout {
    QList<SectionLayout> sections;
    QStringList outside; // complaints about lines before any section
};

FileLayout layoutOf(const QByteArray &text, const QString &fileName)
{
    FileLayout layout;
    SectionLayout *current = nullptr;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines.at(i)).trimmed();
        const int number = int(i) + 1;
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.indexOf(QLatin1Char(']'));
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            current = nullptr;
            for (SectionLayout &section : layout.sections) {
                if (section.name == name)
                    current = &section;
            }
            if (current) {
                if (current->problem.isEmpty())
                    current->problem = QStringLiteral("the section appears again on line %1").arg(number);
                continue;
            }
            current = &layout.sections.emplace_back();
            current->name = name;
            if (close < 0)
                current->problem = QStringLiteral("line %1 \"%2\" has no ']'").arg(number).arg(line);
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!current) {
            layout.outside.append(
                QStringLiteral("%1 line %2 \"%3\" is in no device's section; ignored")
                    .arg(fileName)
                    .arg(number)
                    .arg(line));
        } else if (eq <= 0) {
            // AllowedPeers without its '=' must not let everyone in.
            if (current->problem.isEmpty())
                current->problem = QStringLiteral("line %1 \"%2\" is no KEY=VALUE").arg(number).arg(line);
        } else if (const QString key = line.left(eq).trimmed(); current->keys.contains(key)) {
            current->repeatedKeys.append(key);
        } else {
            current->keys.append(key);
        }
    }
    return layout;
}

// The keys of one section, each read once, as the settings files read
// theirs; what is not understood is a complaint, what cannot be used safely
// refuses the section.
class SectionReader
{
public:
    SectionReader(const QSettings &ini, QString fileName, QString section, QStringList *complaints)
        : m_ini(ini), m_fileName(std::move(fileName)),
          m_section(std::move(section)), m_complaints(complaints)
    {
    }

    [[nodiscard]] bool has(const char *key) const { return m_ini.contains(name(key)); }

    // The value as written, trimmed; nothing when the key is absent. A value
    // that is no text (an @Variant) refuses the section.
    [[nodiscard]] std::optional<QString> text(const char *key)
    {
        if (!has(key))
            return std::nullopt;
        if (const std::optional<QString> text =
                SettingsStore::textOf(m_ini.value(name(key)), m_ini.fileName(), name(key)))
            return text->trimmed();
        refuse(QStringLiteral("%1 cannot be read as text").arg(QLatin1String(key)));
        return std::nullopt;
    }

    // A flag: `fallback` when absent, `otherwise` (with a complaint) when no flag.
    [[nodiscard]] bool flag(const char *key, bool fallback, bool otherwise)
    {
        const std::optional<QString> value = text(key);
        if (!value)
            return fallback;
        if (const std::optional<bool> on = flag_text::parse(*value))
            return *on;
        complain(key, *value,
                 QStringLiteral("is not %1; using %2")
                     .arg(QLatin1String(flag_text::Forms), flag_text::write(otherwise)));
        return otherwise;
    }

    // "devices.ini [plc1] Baud=fast " followed by `what`.
    void complain(const char *key, const QString &value, const QString &what)
    {
        m_complaints->append(QStringLiteral("%1 [%2] %3=%4 %5")
                                 .arg(m_fileName, m_section, QLatin1String(key), value, what));
    }

    // The section does not run; the first reason is kept.
    void refuse(const QString &why)
    {
        if (m_refusal.isEmpty())
            m_refusal = why;
    }
    [[nodiscard]] const QString &refusal() const { return m_refusal; }

private:
    [[nodiscard]] QString name(const char *key) const
    {
        return m_section + QLatin1Char('/') + QLatin1String(key);
    }

    const QSettings &m_ini;
    QString m_fileName;
    QString m_section;
    QStringList *m_complaints;
    QString m_refusal;
};

// Device= a device path (with a '/') or a port number.
void readDevice(SectionReader &reader, DeviceConfig &config)
{
    const std::optional<QString> device = reader.text("Device");
    if (!device || device->isEmpty()) {
        reader.refuse(QStringLiteral("no Device (a device path, or a port number from %1 to %2)")
                          .arg(PortTable::FirstPort)
                          .arg(PortTable::LastPort));
        return;
    }
    if (device->contains(QLatin1Char('/'))) {
        config.device = *device;
        return;
    }
    bool ok = false;
    const int number = device->toInt(&ok);
    if (ok && number >= PortTable::FirstPort && number <= PortTable::LastPort)
        config.portNumber = number;
    else
        reader.refuse(QStringLiteral("Device=%1 is not a device path or a port number from %2 to %3")
                          .arg(*device)
                          .arg(PortTable::FirstPort)
                          .arg(PortTable::LastPort));
}

// Listen, ListenAddress, AllowedPeers and the rest of what the TCP/IP
// Server serves and to whom.
void readNetwork(SectionReader &reader, DeviceConfig &config)
{
    NetworkSettings &network = config.network;
    QString listenHost;
    if (const std::optional<QString> listen = reader.text("Listen")) {
        bool ok = false;
        uint port = listen->toUInt(&ok);
        QString why;
        if (listen->contains(QLatin1Char(':'))) {
            const std::optional<HostPort> place = HostPort::parse(*listen, &why);
            ok = place.has_value();
            if (place) {
                port = place->port;
                listenHost = place->listenAddress();
            }
        }
        if (ok && port <= 65535 && !listen->startsWith(QLatin1Char('+'))) {
            config.listen = true;
            config.listenPort = quint16(port);
        } else {
            reader.refuse(QStringLiteral("Listen=%1 is not a TCP port from 0 to 65535 or ADDRESS:PORT%2")
                              .arg(*listen, why.isEmpty() ? QString() : QStringLiteral(": ") + why));
        }
    }
    if (const std::optional<QString> address = reader.text("ListenAddress")) {
        if (!listenHost.isEmpty())
            reader.refuse(QStringLiteral("Listen ADDRESS:PORT and ListenAddress both say where "
                                         "to listen: give one"));
        network.listenAddress = *address;
        if (network.listenAddresses().isEmpty()) {
            reader.complain("ListenAddress", *address,
                            QStringLiteral("is not any, loopback or an address; listening on loopback"));
            network.listenAddress = QStringLiteral("loopback");
        }
    }
    if (!listenHost.isEmpty())
        network.listenAddress = listenHost;

    network.allowedPeers = reader.text("AllowedPeers").value_or(QString());
    if (const QString problem = network.problem(); !problem.isEmpty())
        reader.refuse(problem);

    // Off unless written on: a peer that may set the line is a choice.
    network.rfc2217 = reader.flag("Rfc2217", false, false);
    if (const std::optional<QString> peers = reader.text("ServerPeers");
        peers && !NetworkSettings::serverPeersFromText(*peers, &network.serverPeers))
        reader.complain("ServerPeers", *peers,
                        QStringLiteral("is not keep or a number from 1 to %1; serving one peer")
                            .arg(NetworkSettings::MaxServerPeers));
    network.kickOldest = reader.flag("ServerPeersKickOldest", false, false);
    const bool storedKick = network.kickOldest;
    network.kickOldest = reader.flag("KickOldest", network.kickOldest, false);
    if (network.kickOldest != storedKick && reader.has("ServerPeersKickOldest"))
        reader.complain("KickOldest", flag_text::write(network.kickOldest),
                        QStringLiteral("and ServerPeersKickOldest disagree; using KickOldest"));

    if (const std::optional<QString> text = reader.text("RefusalText")) {
        network.refusalText = *text;
        network.refusalText = QString::fromUtf8(network.refusalLine()).trimmed();
        if (network.refusalText != *text)
            reader.complain("RefusalText", *text,
                            QStringLiteral("is not one line of at most %1 characters; sending \"%2\"")
                                .arg(NetworkSettings::MaxRefusalText)
                                .arg(network.refusalText));
    }
}

// The forwarders, under the keys of their endpoint rows.
void readForwarders(SectionReader &reader, DeviceConfig &config)
{
    for (const EndpointRow &row : EndpointRows) {
        if (!row.connects)
            continue;
        DeviceConfig::Forwarder &forwarder = row.role == EndpointRole::SoftwareForwarder
            ? config.softwareForwarder
            : config.dataHostForwarder;
        const std::optional<QString> host = reader.text(row.hostKey);
        const std::optional<QString> port = reader.text(row.portKey);
        if (!host && !port)
            continue;
        const QString off = QStringLiteral("the %1 is off").arg(QLatin1String(row.name));
        bool ok = false;
        const uint number = port ? port->toUInt(&ok) : 0;
        if (port && (!ok || number < 1 || number > 65535 || port->startsWith(QLatin1Char('+'))))
            reader.complain(row.portKey, *port,
                            QStringLiteral("is not a port from 1 to 65535; ") + off);
        else if (!host || host->isEmpty())
            reader.complain(row.portKey, port.value_or(QString()),
                            QStringLiteral("has no %1; ").arg(QLatin1String(row.hostKey)) + off);
        else if (!port)
            reader.complain(row.hostKey, *host,
                            QStringLiteral("has no %1; ").arg(QLatin1String(row.portKey)) + off);
        else
            forwarder = {*host, quint16(number)};
    }
}

// TLS fails closed: a flag that is no flag is on, and settings or files
// that a listener or a forwarder could not use refuse the section.
void readTls(SectionReader &reader, DeviceConfig &config)
{
    TlsSettings &tls = config.tls;
    tls.enabled = reader.flag("Enabled", false, true);
    tls.forwarder1 = reader.flag("Forwarder1", false, true);
    tls.forwarder3 = reader.flag("Forwarder3", false, true);
    tls.certificate = reader.text("Certificate").value_or(QString());
    tls.privateKey = reader.text("PrivateKey").value_or(QString());
    tls.clientCa = reader.text("ClientCa").value_or(QString());
    tls.serverCa = reader.text("ServerCa").value_or(QString());
    tls.minimumVersion = reader.text("MinimumVersion").value_or(tls.minimumVersion);
    if (const QString problem = tls.problem(); !problem.isEmpty()) {
        reader.refuse(problem);
        return;
    }
    try {
        if (tls.enabled)
            (void)tls.serverConfiguration();
        if ((tls.forwarder1 && config.softwareForwarder.on())
            || (tls.forwarder3 && config.dataHostForwarder.on()))
            (void)tls.clientConfiguration();
    } catch (const ComponentError &error) {
        // Caught here on purpose: a section whose files cannot serve is
        // refused; the others run.
        reader.refuse(error.text());
    }
}

// Tolvar.ini [line]'s keys, then the command line's Baud, Framing and Flow
// over them.
void readLine(SectionReader &reader, LineSettings &line)
{
    const auto invalid = [&reader](const char *key, const QString &value, const QString &used) {
        reader.complain(key, value, QStringLiteral("is not valid; using ") + used);
    };
    const auto readBaud = [&](const char *key) {
        if (const std::optional<QString> v = reader.text(key)) {
            bool ok = false;
            const qint32 baud = v->toInt(&ok);
            if (ok && baud > 0)
                line.baudRate = baud;
            else
                invalid(key, *v, QString::number(line.baudRate));
        }
    };
    const auto readFlow = [&](const char *key) {
        if (const std::optional<QString> v = reader.text(key);
            v && !LineSettings::flowFromText(*v, &line.flowControl))
            invalid(key, *v, LineSettings::flowText(line.flowControl));
    };
    readBaud("BaudRate");
    if (const std::optional<QString> v = reader.text("DataBits")) {
        bool ok = false;
        const int bits = v->toInt(&ok);
        if (ok && bits >= 5 && bits <= 8)
            line.dataBits = bits;
        else
            invalid("DataBits", *v, QString::number(line.dataBits));
    }
    if (const std::optional<QString> v = reader.text("Parity");
        v && !LineSettings::parityFromText(*v, &line.parity))
        invalid("Parity", *v, LineSettings::parityText(line.parity));
    if (const std::optional<QString> v = reader.text("StopBits")) {
        if (LineSettings::validStopBits(*v))
            line.stopBits = *v;
        else
            invalid("StopBits", *v, line.stopBits);
    }
    readFlow("FlowControl");
    // A modem line left alone is off: raising one may reset the device.
    line.dtr = reader.flag("DTR", false, false);
    line.rts = reader.flag("RTS", false, false);

    const LineSettings stored = line;
    readBaud("Baud");
    if (const std::optional<QString> v = reader.text("Framing"); v && !line.setFraming(*v))
        invalid("Framing", *v,
                QStringLiteral("%1%2%3")
                    .arg(line.dataBits)
                    .arg(LineSettings::parityText(line.parity).at(0))
                    .arg(line.stopBits));
    readFlow("Flow");
    const auto disagree = [&](const char *key, const QString &value, bool differs,
                              std::initializer_list<const char *> storedKeys) {
        QStringList given;
        for (const char *storedKey : storedKeys) {
            if (reader.has(storedKey))
                given.append(QLatin1String(storedKey));
        }
        if (differs && !given.isEmpty())
            reader.complain(key, value,
                            QStringLiteral("and %1 disagree; using %2")
                                .arg(given.join(QStringLiteral(", ")), QLatin1String(key)));
    };
    disagree("Baud", QString::number(line.baudRate), line.baudRate != stored.baudRate, {"BaudRate"});
    disagree("Framing", reader.text("Framing").value_or(QString()),
             line.dataBits != stored.dataBits || line.parity != stored.parity
                 || line.stopBits != stored.stopBits,
             {"DataBits", "Parity", "StopBits"});
    disagree("Flow", LineSettings::flowText(line.flowControl),
             line.flowControl != stored.flowControl, {"FlowControl"});
}

// Announce and AnnounceName: [announce] Enabled and Name of a hub.
void readAnnounce(SectionReader &reader, DeviceConfig &config)
{
    // Off unless written on: a hub on the network for everyone to find is a choice.
    config.announce = reader.flag("Announce", false, false);
    const std::optional<QString> name = reader.text("AnnounceName");
    if (!name || name->isEmpty())
        return;
    if (!config.announce)
        reader.complain("AnnounceName", *name, QStringLiteral("has no Announce=true; nothing is announced"));
    else if (name->toUtf8().size() > MaxAnnounceName)
        reader.complain("AnnounceName", *name,
                        QStringLiteral("is longer than %1 bytes; announcing as %2")
                            .arg(MaxAnnounceName)
                            .arg(config.name));
    else
        config.announceName = *name;
}

// Keys a section does not read, with the spelling it would have read when
// only the case differs.
void complainOfUnknownKeys(QSettings &ini, const QString &fileName, const QString &section,
                           QStringList *complaints)
{
    ini.beginGroup(section);
    for (const QString &key : ini.childKeys()) {
        QString hint;
        bool known = false;
        for (const char *k : Keys) {
            known = known || key == QLatin1String(k);
            if (key.compare(QLatin1String(k), Qt::CaseInsensitive) == 0)
                hint = QStringLiteral(" (did you mean %1?)").arg(QLatin1String(k));
        }
        if (!known)
            complaints->append(QStringLiteral("%1 [%2] %3 is not a setting; ignored%4")
                                   .arg(fileName, section, key, hint));
    }
    ini.endGroup();
}

// What makes two sections one device: the device file, links resolved
// where it exists, and a port number as ports.ini resolves it now.
QString deviceIdentity(const DeviceConfig &config, std::optional<PortTable> &ports,
                       const QString &configDir)
{
    QString path = config.device;
    if (config.portNumber != 0) {
        if (!ports)
            ports.emplace(configDir);
        path = ports->devicePath(config.portNumber);
        if (path.isEmpty())
            return QStringLiteral("#%1").arg(config.portNumber);
    }
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

QString deviceText(const DeviceConfig &config)
{
    return config.portNumber != 0 ? QString::number(config.portNumber) : config.device;
}

} // namespace

DeviceList DeviceList::read(const QString &path, const QString &configDir)
{
    DeviceList list;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        list.error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return list;
    }
    const QByteArray text = file.readAll();
    // QSettings reads a copy of these very bytes: its cache would take a
    // file rewritten within the same millisecond at the same size for the
    // one it read before, and an editor saving meanwhile would show it
    // other lines than the ones laid out here.
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/quaylight-devices-XXXXXX.ini"));
    if (!copy.open() || copy.write(text) != text.size() || !copy.flush()) {
        list.error = QStringLiteral("%1: cannot be copied for reading: %2").arg(path, copy.errorString());
        return list;
    }
    const QString fileName = QFileInfo(path).fileName();
    const FileLayout layout = layoutOf(text, fileName);
    list.complaints = layout.outside;
    QSettings ini(copy.fileName(), QSettings::IniFormat);

    std::optional<PortTable> ports;
    QHash<QString, QString> deviceOwners; // identity -> section
    QHash<quint16, QString> portOwners;
    QHash<QString, QString> nameOwners; // announced name, case folded -> section
    for (const SectionLayout &section : layout.sections) {
        const auto refuse = [&list, &section](const QString &why) {
            list.refused.append(section.name + QStringLiteral(": ") + why);
        };
        if (!isLabel(section.name)) {
            refuse(QStringLiteral("a device's name has only letters, digits, '-', '_' and '.'"));
            continue;
        }
        // QSettings reads [General] as the keys outside any section.
        if (section.name.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0) {
            refuse(QStringLiteral("General cannot name a device"));
            continue;
        }
        if (!section.problem.isEmpty()) {
            refuse(section.problem);
            continue;
        }
        complainOfUnknownKeys(ini, fileName, section.name, &list.complaints);
        for (const QString &key : section.repeatedKeys)
            list.complaints.append(QStringLiteral("%1 [%2] %3 is given more than once; the last one is used")
                                       .arg(fileName, section.name, key));

        DeviceConfig config;
        config.name = section.name;
        SectionReader reader(ini, fileName, section.name, &list.complaints);
        readDevice(reader, config);
        readNetwork(reader, config);
        readLine(reader, config.line);
        readForwarders(reader, config);
        readTls(reader, config);
        readAnnounce(reader, config);
        if (!reader.refusal().isEmpty()) {
            refuse(reader.refusal());
            continue;
        }

        // The first section to name a device or a listen port keeps it.
        const QString identity = deviceIdentity(config, ports, configDir);
        if (const QString owner = deviceOwners.value(identity); !owner.isEmpty()) {
            refuse(QStringLiteral("Device=%1 is the device of [%2]").arg(deviceText(config), owner));
            continue;
        }
        // Two hubs under one name: a browser could not tell them apart.
        const QString announced = config.announce ? config.announcedName().toCaseFolded() : QString();
        if (const QString owner = nameOwners.value(announced); !announced.isEmpty() && !owner.isEmpty()) {
            refuse(QStringLiteral("the name \"%1\" is announced for [%2]").arg(config.announcedName(), owner));
            continue;
        }
        if (config.listen && config.listenPort != 0) {
            if (const QString owner = portOwners.value(config.listenPort); !owner.isEmpty()) {
                refuse(QStringLiteral("Listen port %1 is the listen port of [%2]")
                           .arg(config.listenPort)
                           .arg(owner));
                continue;
            }
            portOwners.insert(config.listenPort, config.name);
        }
        deviceOwners.insert(identity, config.name);
        if (!announced.isEmpty())
            nameOwners.insert(announced, config.name);
        list.devices.append(config);
    }
    return list;
}

DeviceChanges compare(const DeviceList &before, const DeviceList &after)
{
    DeviceChanges changes;
    if (!after.error.isEmpty()) {
        for (const DeviceConfig &device : before.devices)
            changes.unchanged.append(device.name);
        return changes;
    }
    const auto find = [](const DeviceList &list, const QString &name) -> const DeviceConfig * {
        for (const DeviceConfig &device : list.devices) {
            if (device.name == name)
                return &device;
        }
        return nullptr;
    };
    for (const DeviceConfig &device : after.devices) {
        const DeviceConfig *old = find(before, device.name);
        (!old ? changes.added : *old == device ? changes.unchanged : changes.changed).append(device.name);
    }
    for (const DeviceConfig &device : before.devices) {
        if (!find(after, device.name))
            changes.removed.append(device.name);
    }
    return changes;
}
