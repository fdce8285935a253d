#include "monitor/metrics_text.h"

#include "platform/winsock.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A label value inside double quotes: backslash, quote and line feed escaped
// (a device path may hold any of them).
QByteArray quoted(const QString &value)
{
    QByteArray out = value.toUtf8();
    out.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return '"' + out + '"';
}

QByteArray seconds(qint64 ms)
{
    return QByteArray::number(double(ms) / 1000.0, 'f', 3);
}

// One metric family: HELP and TYPE, then its samples.
class Family
{
public:
    Family(QByteArray &out, const char *name, const char *type, const char *help)
        : m_out(out), m_name(name)
    {
        m_out += "# HELP " + m_name + ' ' + help + "\n# TYPE " + m_name + ' ' + type + '\n';
    }
    // The hub the next samples are about: a device="NAME" label first, or
    // none for the one hub of a run.
    void setDevice(const QString &name)
    {
        m_device = name.isEmpty() ? QByteArray() : "device=" + quoted(name);
    }
    // `labels` as written between the braces, e.g. endpoint="server"; empty: none.
    void sample(const QByteArray &labels, const QByteArray &value)
    {
        m_out += m_name;
        const QByteArray all = m_device.isEmpty() || labels.isEmpty() ? m_device + labels
                                                                      : m_device + ',' + labels;
        if (!all.isEmpty())
            m_out += '{' + all + '}';
        m_out += ' ' + value + '\n';
    }
    void sample(const QByteArray &labels, quint64 value) { sample(labels, QByteArray::number(value)); }

private:
    QByteArray &m_out;
    QByteArray m_name;
    QByteArray m_device;
};

QByteArray nodeLabel(int node)
{
    return "endpoint=" + quoted(ByteCounters::nodeKey(node));
}

bool hasPeer(int state)
{
    return state == Winsock::sckConnected || state == Winsock::sckClosing;
}

// Winsock's state numbers 0..9 in words.
QString stateName(int state)
{
    static const char *const names[] = {"closed", "open", "listening", "connection pending",
                                        "resolving host", "host resolved", "connecting",
                                        "connected", "peer closing", "error"};
    return state >= 0 && state < int(std::size(names)) ? QLatin1String(names[state]) : QString();
}

// "ADDRESS:PORT", an IPv6 address in brackets.
QString hostPort(const QString &address, quint16 port)
{
    return (address.contains(QLatin1Char(':')) ? QLatin1Char('[') + address + QLatin1Char(']') : address)
        + QLatin1Char(':') + QString::number(port);
}

QJsonValue isoTime(qint64 ms)
{
    if (ms == 0)
        return QJsonValue::Null;
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

} // namespace

QByteArray metrics_text::prometheus(const Engine::Snapshot &snapshot, const QString &version)
{
    return prometheus(QList<Device> {{QString(), snapshot}}, version);
}

QByteArray metrics_text::prometheus(const QList<Device> &devices, const QString &version)
{
    QByteArray out;
    // Each family once, with the samples of every hub in it.
    const auto family = [&](const char *name, const char *type, const char *help, auto samples) {
        Family f(out, name, type, help);
        for (const Device &device : devices) {
            f.setDevice(device.name);
            samples(f, device.snapshot);
        }
    };
    const auto perNode = [&](const char *name, const char *type, const char *help, auto value) {
        family(name, type, help, [&](Family &f, const Engine::Snapshot &s) {
            for (int node = 0; node < NodeCount; ++node)
                f.sample(nodeLabel(node), value(s.counters, std::size_t(node)));
        });
    };
    const auto received = [](const ByteCounters &c, std::size_t n) { return c.received[n]; };
    const auto sent = [](const ByteCounters &c, std::size_t n) { return c.sent[n]; };
    perNode("quaylight_received_bytes_total", "counter",
            "Bytes taken from the endpoint's peers, or read from the serial device.", received);
    perNode("quaylight_sent_bytes_total", "counter",
            "Bytes handed to the endpoint's peers, or queued for the serial device.", sent);
    // The names before the unit went last; kept for one release so that
    // dashboards and alerts can move over.
    perNode("quaylight_bytes_received_total", "counter",
            "Deprecated: the same as quaylight_received_bytes_total; goes in the next release.",
            received);
    perNode("quaylight_bytes_sent_total", "counter",
            "Deprecated: the same as quaylight_sent_bytes_total; goes in the next release.", sent);
    perNode("quaylight_last_byte_received_timestamp_seconds", "gauge",
            "When the last byte came in (Unix time; 0: none yet).",
            [](const ByteCounters &c, std::size_t n) { return seconds(c.lastReceived[n]); });
    perNode("quaylight_last_byte_sent_timestamp_seconds", "gauge",
            "When the last byte went out (Unix time; 0: none yet).",
            [](const ByteCounters &c, std::size_t n) { return seconds(c.lastSent[n]); });

    family("quaylight_destinations_dropped_total", "counter",
           "Destinations cut off because they stalled or fell behind.",
           [](Family &f, const Engine::Snapshot &s) { f.sample({}, s.counters.droppedDestinations); });
    family("quaylight_dropped_unsent_bytes_total", "counter",
           "Bytes the dropped destinations still held unsent.",
           [](Family &f, const Engine::Snapshot &s) { f.sample({}, s.counters.droppedBytes); });

    family("quaylight_peers_refused_total", "counter",
           "Peers closed before they were offered: not in AllowedPeers (address), "
           "their TLS handshake failed (tls), or the endpoint had all the peers it "
           "takes (limit).",
           [](Family &f, const Engine::Snapshot &s) {
               for (const EndpointRow &row : EndpointRows) {
                   if (!row.listens)
                       continue;
                   const Engine::EndpointState &e = s.endpoints[std::size_t(row.index)];
                   f.sample(nodeLabel(row.index) + ",reason=\"address\"", e.refused);
                   f.sample(nodeLabel(row.index) + ",reason=\"tls\"", e.refusedTls);
                   f.sample(nodeLabel(row.index) + ",reason=\"limit\"", e.refusedLimit);
               }
           });
    const auto perEndpoint = [&](const char *name, const char *type, const char *help, auto value) {
        family(name, type, help, [&](Family &f, const Engine::Snapshot &s) {
            for (const EndpointRow &row : EndpointRows)
                f.sample(nodeLabel(row.index), value(row, s.endpoints[std::size_t(row.index)]));
        });
    };
    using State = Engine::EndpointState;
    perEndpoint("quaylight_endpoint_listening", "gauge",
                "1 while the endpoint listens, also while it serves peers.",
                [](const EndpointRow &, const State &e) { return QByteArray::number(int(e.listening)); });
    perEndpoint("quaylight_endpoint_connected", "gauge", "1 while the endpoint is connected.",
                [](const EndpointRow &, const State &e) {
                    return QByteArray::number(int(e.state == Winsock::sckConnected));
                });
    perEndpoint("quaylight_endpoint_peers", "gauge", "Peers the endpoint has now.",
                [](const EndpointRow &row, const State &e) {
                    return QByteArray::number(row.listens ? e.peers.size() : int(hasPeer(e.state)));
                });
    perEndpoint("quaylight_endpoint_armed", "gauge",
                "1 while the supervision tick keeps the endpoint up.",
                [](const EndpointRow &, const State &e) { return QByteArray::number(int(e.armed)); });

    family("quaylight_serial_open", "gauge", "1 while the serial port is open.",
           [](Family &f, const Engine::Snapshot &s) { f.sample({}, quint64(s.serialOpen)); });
    family("quaylight_serial_info", "gauge",
           "The serial port open or last configured: number, device and line.",
           [](Family &f, const Engine::Snapshot &s) {
               f.sample("port=" + quoted(QString::number(s.comPort)) + ",device=" + quoted(s.device)
                            + ",settings=" + quoted(s.line.commSettings()) + ",flow_control="
                            + quoted(LineSettings::flowText(s.line.flowControl)),
                        "1");
           });
    family("quaylight_serial_device_losses_total", "counter", "Times the open serial device vanished.",
           [](Family &f, const Engine::Snapshot &s) { f.sample({}, s.deviceLosses); });
    family("quaylight_start_time_seconds", "gauge", "When the hub started (Unix time).",
           [](Family &f, const Engine::Snapshot &s) { f.sample({}, seconds(s.startedMs)); });
    Family(out, "quaylight_build_info", "gauge", "The program's version and the Qt it runs on.")
        .sample("version=" + quoted(version) + ",qt=" + quoted(QLatin1String(qVersion())), "1");
    return out;
}

namespace {
QJsonObject hubStatus(const Engine::Snapshot &snapshot)
{
    const ByteCounters &c = snapshot.counters;
    const auto flow = [&](QJsonObject object, int node) {
        const std::size_t n = std::size_t(node);
        object.insert(QStringLiteral("bytesReceived"), double(c.received[n]));
        object.insert(QStringLiteral("bytesSent"), double(c.sent[n]));
        object.insert(QStringLiteral("lastReceived"), isoTime(c.lastReceived[n]));
        object.insert(QStringLiteral("lastSent"), isoTime(c.lastSent[n]));
        return object;
    };
    QJsonArray endpoints;
    for (const EndpointRow &row : EndpointRows) {
        const Engine::EndpointState &e = snapshot.endpoints[std::size_t(row.index)];
        QJsonObject endpoint {
            {QStringLiteral("name"), QLatin1String(row.key)},
            {QStringLiteral("state"), e.state},
            {QStringLiteral("stateText"), stateName(e.state)},
            {QStringLiteral("listening"), e.listening},
            {QStringLiteral("connected"), e.state == Winsock::sckConnected},
            {QStringLiteral("peer"), hasPeer(e.state) ? QJsonValue(e.peer) : QJsonValue::Null},
            {QStringLiteral("peerPort"), hasPeer(e.state) ? QJsonValue(e.peerPort) : QJsonValue::Null},
            {QStringLiteral("armed"), e.armed},
        };
        QJsonArray addresses; // every peer in one list, whatever the row
        if (row.listens) {
            for (const Engine::PeerState &peer : e.peers) {
                if (peer.state == Winsock::sckConnected)
                    addresses.append(hostPort(peer.address, peer.port));
            }
        }
        if (addresses.isEmpty() && hasPeer(e.state) && !e.peer.isEmpty())
            addresses.append(hostPort(e.peer, e.peerPort));
        endpoint.insert(QStringLiteral("peerAddresses"), addresses);
        if (row.listens) {
            endpoint.insert(QStringLiteral("peersRefused"),
                            QJsonObject {{QStringLiteral("address"), double(e.refused)},
                                         {QStringLiteral("tls"), double(e.refusedTls)},
                                         {QStringLiteral("limit"), double(e.refusedLimit)}});
            QJsonArray peers;
            for (const Engine::PeerState &peer : e.peers) {
                peers.append(QJsonObject {
                    {QStringLiteral("address"), peer.address},
                    {QStringLiteral("port"), peer.port},
                    {QStringLiteral("stateText"), stateName(peer.state)},
                    {QStringLiteral("since"), isoTime(peer.sinceMs)},
                    {QStringLiteral("bytesReceived"), double(peer.received)},
                    {QStringLiteral("bytesSent"), double(peer.sent)},
                    {QStringLiteral("tlsSubject"),
                     peer.tlsSubject.isEmpty() ? QJsonValue::Null : QJsonValue(peer.tlsSubject)},
                });
            }
            endpoint.insert(QStringLiteral("peers"), peers);
        }
        endpoints.append(flow(endpoint, row.index));
    }
    const QJsonObject serial = flow(
        {
            {QStringLiteral("open"), snapshot.serialOpen},
            {QStringLiteral("port"), snapshot.comPort},
            {QStringLiteral("device"), snapshot.device},
            {QStringLiteral("settings"), snapshot.line.commSettings()},
            {QStringLiteral("flowControl"), LineSettings::flowText(snapshot.line.flowControl)},
            {QStringLiteral("deviceLosses"), double(snapshot.deviceLosses)},
        },
        SerialNode);
    return {
        {QStringLiteral("started"), isoTime(snapshot.startedMs)},
        {QStringLiteral("endpoints"), endpoints},
        {QStringLiteral("serial"), serial},
        {QStringLiteral("dropped"),
         QJsonObject {{QStringLiteral("destinations"), double(c.droppedDestinations)},
                      {QStringLiteral("unsentBytes"), double(c.droppedBytes)}}},
    };
}
} // namespace

QByteArray metrics_text::statusJson(const Engine::Snapshot &snapshot, const QString &version)
{
    QJsonObject status = hubStatus(snapshot);
    status.insert(QStringLiteral("version"), version);
    return QJsonDocument(status).toJson(QJsonDocument::Indented);
}

QJsonArray metrics_text::devicesJson(const QList<Device> &devices)
{
    QJsonArray list;
    for (const Device &device : devices) {
        QJsonObject hub = hubStatus(device.snapshot);
        hub.insert(QStringLiteral("name"), device.name);
        list.append(hub);
    }
    return list;
}

QByteArray metrics_text::statusJson(const QList<Device> &devices, const QString &version)
{
    const QJsonObject status {{QStringLiteral("version"), version},
                              {QStringLiteral("devices"), devicesJson(devices)}};
    return QJsonDocument(status).toJson(QJsonDocument::Indented);
}
