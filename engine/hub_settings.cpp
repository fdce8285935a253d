#include "engine/hub_settings.h"

#include "engine/endpoint_table.h"
#include "platform/component_error.h"
#include "platform/config_location.h"
#include "platform/flag_text.h"
#include "platform/log_categories.h"

#include <QHostAddress>

#include <utility>

namespace {
const QString Harborcast = QStringLiteral("Harborcast");
const QString Tolvar = QStringLiteral("Tolvar");
const QString Startup = QStringLiteral("startup");
const QString Line = QStringLiteral("line");
const QString SessionSection = QStringLiteral("session");
const QString View = QStringLiteral("view");
const QString Monitor = QStringLiteral("monitor");
const QString Announce = QStringLiteral("announce");
const QString NoteFile = QStringLiteral("session"); // session.ini, in a service's state folder

QString flag(bool on)
{
    return flag_text::write(on);
}

// Every section the hub reads and its keys, per file.
struct KnownSection {
    const QString &application;
    const char *section;
    std::initializer_list<const char *> keys;
};

QStringList startupKeys()
{
    QStringList keys;
    for (const EndpointRow &row : EndpointRows) {
        keys.append(QLatin1String(row.portKey));
        if (row.hostKey)
            keys.append(QLatin1String(row.hostKey));
    }
    return keys;
}

const KnownSection Known[] = {
    {Harborcast, "network", {"ListenAddress", "AllowedPeers", "Rfc2217", "ServerPeers",
                             "ServerPeersKickOldest", "RefusalText"}},
    {Harborcast, "tls", {"Enabled", "Certificate", "PrivateKey", "ClientCa", "ServerCa",
                         "MinimumVersion", "Forwarder1", "Forwarder3"}},
    {Harborcast, "session", {"Restore", "ComPort", "Server2", "Forwarder1", "Forwarder3"}},
    {Harborcast, "view", {"AllEndpoints"}},
    {Harborcast, "monitor", {"Metrics", "MetricsTls", "MaxConnections", "IdleTimeout"}},
    {Harborcast, "announce", {"Enabled", "Name"}},
    {Tolvar, "startup", {"ComPort"}},
    {Tolvar, "line", {"BaudRate", "DataBits", "Parity", "StopBits", "FlowControl", "DTR", "RTS"}},
};

// The keys of [section] in `application`'s file; empty for a section the
// hub does not read.
QStringList knownKeys(const QString &application, const QString &section)
{
    if (application == Harborcast && section == Startup)
        return startupKeys();
    for (const KnownSection &known : Known) {
        if (known.application == application && section == QLatin1String(known.section)) {
            QStringList keys;
            for (const char *key : known.keys)
                keys.append(QLatin1String(key));
            return keys;
        }
    }
    return {};
}

// What the hub makes of a key it does not read, with the spelling it would
// have read when only the case differs.
QString unknownEntry(const QString &application, const QString &section, const QString &key)
{
    const bool sectionKnown = !knownKeys(application, section).isEmpty();
    QString line = QStringLiteral("%1.ini [%2] %3 is not a setting%4; ignored")
                       .arg(application, section, key,
                            sectionKnown ? QString() : QStringLiteral(" (no such section)"));
    for (const QString &otherSection : {Startup, Line, QStringLiteral("network"),
                                        QStringLiteral("tls"), SessionSection, View, Monitor, Announce}) {
        for (const QString &known : knownKeys(application, otherSection)) {
            if (otherSection.compare(section, Qt::CaseInsensitive) == 0
                && known.compare(key, Qt::CaseInsensitive) == 0)
                return line + QStringLiteral(" (did you mean [%1] %2?)").arg(otherSection, known);
        }
    }
    return line;
}
} // namespace

HubSettings::HubSettings(const QString &configDir) : m_store(configDir)
{
    if (const QString state = quaylightServiceStateDir(); !state.isEmpty())
        m_notes.emplace(state);
}

QString HubSettings::startupField(const QString &key, const QString &fallback) const
{
    return m_store.read(Harborcast, Startup, key, fallback);
}

void HubSettings::setStartupField(const QString &key, const QString &value)
{
    m_store.write(Harborcast, Startup, key, value);
}

void HubSettings::setChosenComPort(int number)
{
    m_store.write(Tolvar, Startup, QStringLiteral("ComPort"), QString::number(number));
}

LineSettings HubSettings::line(QStringList *complaints) const
{
    LineSettings line;
    const auto read = [this](const char *key) {
        return m_store.read(Tolvar, Line, QLatin1String(key), QString());
    };
    const auto complain = [complaints](const char *key, const QString &value,
                                       const QString &fallback) {
        if (complaints)
            complaints->append(QStringLiteral("Tolvar.ini [line] %1=%2 is not valid; using %3")
                                   .arg(QLatin1String(key), value, fallback));
    };

    if (const QString v = read("BaudRate"); !v.isEmpty()) {
        bool ok = false;
        const qint32 baud = v.trimmed().toInt(&ok);
        if (ok && baud > 0)
            line.baudRate = baud;
        else
            complain("BaudRate", v, QString::number(line.baudRate));
    }
    if (const QString v = read("DataBits"); !v.isEmpty()) {
        bool ok = false;
        const int bits = v.trimmed().toInt(&ok);
        if (ok && bits >= 5 && bits <= 8)
            line.dataBits = bits;
        else
            complain("DataBits", v, QString::number(line.dataBits));
    }
    if (const QString v = read("Parity");
        !v.isEmpty() && !LineSettings::parityFromText(v.trimmed(), &line.parity))
        complain("Parity", v, LineSettings::parityText(line.parity));
    if (const QString v = read("StopBits"); !v.isEmpty()) {
        if (LineSettings::validStopBits(v.trimmed()))
            line.stopBits = v.trimmed();
        else
            complain("StopBits", v, line.stopBits);
    }
    if (const QString v = read("FlowControl");
        !v.isEmpty() && !LineSettings::flowFromText(v.trimmed(), &line.flowControl))
        complain("FlowControl", v, LineSettings::flowText(line.flowControl));
    // A modem line left alone is off: raising one may reset the device.
    for (auto [key, on] : {std::pair {"DTR", &line.dtr}, std::pair {"RTS", &line.rts}})
        *on = m_store.readFlag(Tolvar, Line, QLatin1String(key), *on, false, complaints);
    return line;
}

void HubSettings::setLine(const LineSettings &line)
{
    const auto write = [this](const char *key, const QString &value) {
        m_store.write(Tolvar, Line, QLatin1String(key), value);
    };
    write("BaudRate", QString::number(line.baudRate));
    write("DataBits", QString::number(line.dataBits));
    write("Parity", LineSettings::parityText(line.parity));
    write("StopBits", line.stopBits);
    write("FlowControl", LineSettings::flowText(line.flowControl));
    write("DTR", flag(line.dtr));
    write("RTS", flag(line.rts));
}

NetworkSettings HubSettings::network(QStringList *complaints) const
{
    return NetworkSettings::load(m_store, complaints);
}

TlsSettings HubSettings::tls(QStringList *complaints) const
{
    return TlsSettings::load(m_store, complaints);
}

void HubSettings::setTls(const TlsSettings &tls)
{
    tls.save(m_store);
}

void HubSettings::setNetwork(const NetworkSettings &network)
{
    network.save(m_store);
}

bool HubSettings::restoresSession() const
{
    return m_store.readFlag(Harborcast, SessionSection, QStringLiteral("Restore"), false, false,
                            nullptr);
}

void HubSettings::setRestoresSession(bool on)
{
    m_store.write(Harborcast, SessionSection, QStringLiteral("Restore"), flag(on));
}

HubSettings::Session HubSettings::session() const
{
    // A service's note, when there is one, over the configuration's.
    const auto flagOf = [this](const char *key) {
        const bool configured = m_store.readFlag(Harborcast, SessionSection, QLatin1String(key), false,
                                                 false, nullptr);
        return m_notes ? m_notes->readFlag(NoteFile, SessionSection, QLatin1String(key), configured,
                                           false, nullptr)
                       : configured;
    };
    const QString comPort = m_store.read(Harborcast, SessionSection, QStringLiteral("ComPort"), QString());
    Session session;
    session.comPort =
        (m_notes ? m_notes->read(NoteFile, SessionSection, QStringLiteral("ComPort"), comPort) : comPort)
            .toInt();
    session.server2 = flagOf("Server2");
    session.forwarder1 = flagOf("Forwarder1");
    session.forwarder3 = flagOf("Forwarder3");
    return session;
}

void HubSettings::noteSession(const Session &session)
{
    if (!restoresSession())
        return;
    SettingsStore &store = m_notes ? *m_notes : m_store;
    const QString &file = m_notes ? NoteFile : Harborcast;
    try {
        store.write(file, SessionSection, QStringLiteral("ComPort"), QString::number(session.comPort));
        store.write(file, SessionSection, QStringLiteral("Server2"), flag(session.server2));
        store.write(file, SessionSection, QStringLiteral("Forwarder1"), flag(session.forwarder1));
        store.write(file, SessionSection, QStringLiteral("Forwarder3"), flag(session.forwarder3));
    } catch (const ComponentError &error) {
        qCWarning(lcApp, "the session could not be noted: %s", error.what());
    }
}

bool HubSettings::allEndpoints() const
{
    return m_store.readFlag(Harborcast, View, QStringLiteral("AllEndpoints"), false, false, nullptr);
}

QString HubSettings::metricsAddress() const
{
    return m_store.read(Harborcast, Monitor, QStringLiteral("Metrics"), QString()).trimmed();
}

bool HubSettings::metricsTls() const
{
    return m_store.readFlag(Harborcast, Monitor, QStringLiteral("MetricsTls"), false, true, nullptr);
}

QStringList HubSettings::problems() const
{
    QStringList lines;
    for (const QString &application : {Harborcast, Tolvar}) {
        for (const QString &entry : m_store.entries(application)) {
            const qsizetype slash = entry.indexOf(QLatin1Char('/'));
            const QString section = entry.left(slash);
            const QString key = entry.mid(slash + 1);
            if (!knownKeys(application, section).contains(key))
                lines.append(unknownEntry(application, section, key));
        }
    }
    // The flags read where nobody collects complaints; [network], [tls] and
    // [line] say theirs when they are read.
    (void)m_store.readFlag(Harborcast, SessionSection, QStringLiteral("Restore"), false, false, &lines);
    for (const char *key : {"Server2", "Forwarder1", "Forwarder3"})
        (void)m_store.readFlag(Harborcast, SessionSection, QLatin1String(key), false, false, &lines);
    (void)m_store.readFlag(Harborcast, View, QStringLiteral("AllEndpoints"), false, false, &lines);
    (void)m_store.readFlag(Harborcast, Monitor, QStringLiteral("MetricsTls"), false, true, &lines);
    (void)m_store.readFlag(Harborcast, Announce, QStringLiteral("Enabled"), false, false, &lines);
    return lines;
}

int HubSettings::metricsMaxConnections() const
{
    bool ok = false;
    const int value = m_store.read(Harborcast, QStringLiteral("monitor"), QStringLiteral("MaxConnections"), QString())
                          .trimmed()
                          .toInt(&ok);
    return ok && value >= 1 && value <= 100'000 ? value : 64;
}

bool HubSettings::consoleTerminalOpen() const
{
    return m_store.read(Harborcast, Monitor, QStringLiteral("Terminal"), QString()).trimmed().compare(
               QLatin1String("open"), Qt::CaseInsensitive)
        == 0;
}

int HubSettings::metricsIdleTimeoutMs() const
{
    bool ok = false;
    const double seconds = m_store.read(Harborcast, QStringLiteral("monitor"), QStringLiteral("IdleTimeout"), QString())
                               .trimmed()
                               .toDouble(&ok);
    return ok && seconds >= 0.01 && seconds <= 86'400 ? int(seconds * 1000) : 30'000;
}

void HubSettings::setAllEndpoints(bool on)
{
    m_store.write(Harborcast, View, QStringLiteral("AllEndpoints"), flag(on));
}

bool HubSettings::announces() const
{
    return m_store.readFlag(Harborcast, Announce, QStringLiteral("Enabled"), false, false, nullptr);
}

QString HubSettings::announceName() const
{
    return m_store.read(Harborcast, Announce, QStringLiteral("Name"), QString()).trimmed();
}
