#include "engine/hub_settings.h"

#include "platform/component_error.h"
#include "platform/log_categories.h"

#include <utility>

namespace {
const QString Harborcast = QStringLiteral("Harborcast");
const QString Tolvar = QStringLiteral("Tolvar");
const QString Startup = QStringLiteral("startup");
const QString Line = QStringLiteral("line");
const QString SessionSection = QStringLiteral("session");
const QString View = QStringLiteral("view");

QString flag(bool on)
{
    return on ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

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
    for (auto [key, on] : {std::pair {"DTR", &line.dtr}, std::pair {"RTS", &line.rts}}) {
        const QString v = read(key).trimmed().toLower();
        if (v == QLatin1String("true"))
            *on = true;
        else if (v == QLatin1String("false"))
            *on = false;
        else if (!v.isEmpty())
            complain(key, read(key), QStringLiteral("false"));
    }
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
    return m_store.read(Harborcast, SessionSection, QStringLiteral("Restore"), QString())
        == QLatin1String("true");
}

void HubSettings::setRestoresSession(bool on)
{
    m_store.write(Harborcast, SessionSection, QStringLiteral("Restore"), flag(on));
}

HubSettings::Session HubSettings::session() const
{
    const auto stored = [this](const char *key) {
        return m_store.read(Harborcast, SessionSection, QLatin1String(key), QString());
    };
    Session session;
    session.comPort = stored("ComPort").toInt();
    session.server2 = stored("Server2") == QLatin1String("true");
    session.forwarder1 = stored("Forwarder1") == QLatin1String("true");
    session.forwarder3 = stored("Forwarder3") == QLatin1String("true");
    return session;
}

void HubSettings::noteSession(const Session &session)
{
    if (!restoresSession())
        return;
    try {
        m_store.write(Harborcast, SessionSection, QStringLiteral("ComPort"),
                      QString::number(session.comPort));
        m_store.write(Harborcast, SessionSection, QStringLiteral("Server2"), flag(session.server2));
        m_store.write(Harborcast, SessionSection, QStringLiteral("Forwarder1"),
                      flag(session.forwarder1));
        m_store.write(Harborcast, SessionSection, QStringLiteral("Forwarder3"),
                      flag(session.forwarder3));
    } catch (const ComponentError &error) {
        qCWarning(lcApp, "the session could not be noted: %s", error.what());
    }
}

bool HubSettings::allEndpoints() const
{
    return m_store.read(Harborcast, View, QStringLiteral("AllEndpoints"), QString())
        == QLatin1String("true");
}

QString HubSettings::metricsAddress() const
{
    return m_store.read(Harborcast, QStringLiteral("monitor"), QStringLiteral("Metrics"), QString())
        .trimmed();
}

bool HubSettings::metricsTls() const
{
    return m_store
               .read(Harborcast, QStringLiteral("monitor"), QStringLiteral("MetricsTls"),
                     QStringLiteral("false"), QStringLiteral("true"), QStringLiteral("on"))
               .trimmed()
               .toLower()
        == QLatin1String("true");
}

int HubSettings::metricsMaxConnections() const
{
    bool ok = false;
    const int value = m_store.read(Harborcast, QStringLiteral("monitor"), QStringLiteral("MaxConnections"), QString())
                          .trimmed()
                          .toInt(&ok);
    return ok && value >= 1 && value <= 100'000 ? value : 64;
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
