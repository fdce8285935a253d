#include "monitor/console.h"

#include "engine/hub.h"
#include "monitor/metrics_text.h"
#include "platform/component_error.h"
#include "platform/line_settings.h"
#include "platform/log_categories.h"
#include "platform/log_scope.h"
#include "platform/log_tail.h"
#include "platform/websocket_connection.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

namespace {

QString who(const QWebSocket &socket)
{
    const QString address = socket.peerAddress().toString();
    return (address.contains(QLatin1Char(':')) ? QLatin1Char('[') + address + QLatin1Char(']') : address)
        + QLatin1Char(':') + QString::number(socket.peerPort());
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The state without what changes with every byte: the counters and the
// times of the last bytes.
QJsonValue withoutCounters(const QJsonValue &value)
{
    if (value.isArray()) {
        QJsonArray out;
        for (const QJsonValue &each : value.toArray())
            out.append(withoutCounters(each));
        return out;
    }
    if (!value.isObject())
        return value;
    QJsonObject out;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() == QLatin1String("bytesReceived") || it.key() == QLatin1String("bytesSent")
            || it.key() == QLatin1String("lastReceived") || it.key() == QLatin1String("lastSent"))
            continue;
        out.insert(it.key(), withoutCounters(it.value()));
    }
    return out;
}

} // namespace

Console::Console(const MetricsServer::Source &source, QObject *parent)
    : QObject(parent), m_source(source), m_frameTimer(new QTimer(this)), m_counterTimer(new QTimer(this))
{
    // What the hubs say changed goes out one frame interval later, whatever
    // else changes meanwhile; the counters, which change with every byte and
    // say nothing, are read once a second.
    m_frameTimer->setSingleShot(true);
    m_frameTimer->setInterval(FrameIntervalMs);
    connect(m_frameTimer, &QTimer::timeout, this, [this] { tick(false); });
    m_counterTimer->setInterval(CounterIntervalMs);
    connect(m_counterTimer, &QTimer::timeout, this, [this] {
        follow();
        tick(true);
    });
}

Console::~Console()
{
    qDeleteAll(m_subscribers);
}

void Console::take(QWebSocket *socket, QTcpSocket *transport, const Access &access)
{
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(quint64(FrameLimit));
    socket->setMaxAllowedIncomingMessageSize(quint64(FrameLimit));
    const QString path = socket->requestUrl().path();
    if (path == QLatin1String("/events"))
        return openEvents(socket, access);
    static const QLatin1String hubs("/hubs/"), terminal("/terminal");
    if (path.startsWith(hubs) && path.endsWith(terminal) && path.size() >= hubs.size() + terminal.size()) {
        const QString name = path.mid(hubs.size(), path.size() - hubs.size() - terminal.size());
        if (!name.contains(QLatin1Char('/')))
            return openTerminal(socket, transport, name, access);
    }
    refuse(socket, QStringLiteral("no such place: %1").arg(path));
}

void Console::refuse(QWebSocket *socket, const QString &why)
{
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    qCInfo(lcNet, "console: %s refused, %s", qUtf8Printable(who(*socket)), qUtf8Printable(why));
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, why);
}

void Console::openEvents(QWebSocket *socket, const Access &access)
{
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    auto *subscriber = new Subscriber {socket, access};
    m_subscribers.append(subscriber);
    connect(socket, &QObject::destroyed, this, [this, subscriber] {
        m_subscribers.removeOne(subscriber);
        delete subscriber;
        if (m_subscribers.isEmpty()) {
            m_frameTimer->stop();
            m_counterTimer->stop();
        }
    });
    connect(socket, &QWebSocket::textMessageReceived, this, [this, subscriber](const QString &message) {
        answer(*subscriber, message);
    });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this, subscriber](const QByteArray &message) {
        answer(*subscriber, QString::fromUtf8(message));
    });
    const QJsonObject hello {
        {QStringLiteral("type"), QStringLiteral("hello")},
        {QStringLiteral("version"), QCoreApplication::applicationVersion()},
        {QStringLiteral("control"), access.control},
        {QStringLiteral("terminal"), access.terminal},
        {QStringLiteral("subject"), access.subject},
    };
    if (!send(*subscriber, compact(hello)))
        return;
    QByteArray shape;
    if (!send(*subscriber, stateFrame(&shape)))
        return;
    subscriber->stateSeen = true;
    if (!send(*subscriber, logFrame(0, &subscriber->logSeen)))
        return;
    qCInfo(lcNet, "console: %s follows the events%s", qUtf8Printable(who(*socket)),
           access.control ? qPrintable(QStringLiteral(" with control (%1)").arg(access.subject)) : "");
    follow();
    if (!m_counterTimer->isActive())
        m_counterTimer->start();
}

void Console::follow()
{
    // Unique connections: calling this again only adds hubs new since.
    const auto unique = Qt::UniqueConnection;
    if (m_source.log)
        connect(m_source.log, &LogTail::appended, this, &Console::changed, unique);
    for (const Engine *engine : m_source.hubs()) {
        connect(engine, &Engine::peersChanged, this, &Console::changed, unique);
        connect(engine, &Engine::networkChanged, this, &Console::changed, unique);
        connect(engine, &Engine::listenersStopped, this, &Console::changed, unique);
        connect(engine, &Engine::destinationDropped, this, &Console::changed, unique);
        connect(engine, &QObject::destroyed, this, &Console::changed, unique);
        if (const auto *hub = qobject_cast<const Hub *>(engine)) {
            connect(hub, &Hub::endpointChanged, this, &Console::changed, unique);
            connect(hub, &Hub::portChanged, this, &Console::changed, unique);
        }
    }
}

void Console::changed()
{
    if (!m_subscribers.isEmpty() && !m_frameTimer->isActive())
        m_frameTimer->start();
}

void Console::openTerminal(QWebSocket *socket, QTcpSocket *transport, const QString &name,
                           const Access &access)
{
    Hub *hub = m_source.hub ? m_source.hub(name) : nullptr;
    if (!hub)
        return refuse(socket, QStringLiteral("no device %1").arg(name));
    if (!access.terminal)
        return refuse(socket, QStringLiteral("a client certificate is needed for the terminal"));
    const LogScope scope(hub->name());
    const QString peer = who(*socket);
    auto *terminal = new WebSocketConnection(socket, transport, this);
    // Let go once the hub is done with it and its close went out.
    const auto release = [terminal] {
        QWebSocket *ws = terminal->findChild<QWebSocket *>();
        if (!ws || ws->state() == QAbstractSocket::UnconnectedState)
            return terminal->deleteLater();
        connect(ws, &QWebSocket::disconnected, terminal, &QObject::deleteLater);
        QTimer::singleShot(CloseWaitMs, terminal, &QObject::deleteLater);
    };
    QString why;
    switch (hub->addPeer(endpointOf(EndpointRole::ServerListener), *terminal)) {
    case Engine::PeerRefusal::None:
        qCInfo(lcNet, "console: terminal opened from %s", qUtf8Printable(peer));
        connect(hub, &Engine::peerReleased, terminal, [terminal, release](Connection *gone) {
            if (gone == terminal)
                release();
        });
        connect(hub, &QObject::destroyed, terminal, [terminal, release] {
            terminal->closeWith(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("the device was removed"));
            release();
        });
        return;
    case Engine::PeerRefusal::NotListening:
        why = QStringLiteral("the TCP/IP Server is not listening");
        break;
    case Engine::PeerRefusal::NotAllowed:
        why = QStringLiteral("not in AllowedPeers");
        break;
    case Engine::PeerRefusal::NotSecure:
        why = QStringLiteral("the TCP/IP Server speaks TLS only");
        break;
    case Engine::PeerRefusal::NotTrusted:
        why = QStringLiteral("the TCP/IP Server takes certificates of its own client CA only");
        break;
    case Engine::PeerRefusal::Full:
        why = QStringLiteral("the TCP/IP Server takes no more peers");
        break;
    }
    qCInfo(lcNet, "console: terminal from %s refused, %s", qUtf8Printable(peer), qUtf8Printable(why));
    terminal->closeWith(QWebSocketProtocol::CloseCodePolicyViolated, why);
    release();
}

bool Console::send(Subscriber &subscriber, const QByteArray &frame)
{
    QWebSocket *socket = subscriber.socket;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return false;
    // What it has not taken yet stays in the socket's buffer: past the
    // limit it is cut off instead of growing the process.
    if (socket->bytesToWrite() + frame.size() > BacklogLimit) {
        if (!subscriber.slowLogged)
            qCWarning(lcNet, "console: %s closed, it left %lld bytes unread", qUtf8Printable(who(*socket)),
                      socket->bytesToWrite());
        subscriber.slowLogged = true;
        socket->abort();
        socket->deleteLater();
        return false;
    }
    socket->sendTextMessage(QString::fromUtf8(frame));
    return true;
}

QByteArray Console::stateFrame(QByteArray *shape) const
{
    QList<metrics_text::Device> list;
    for (const Engine *hub : m_source.hubs())
        list.append({hub->name(), hub->snapshot()});
    const QJsonArray devices = metrics_text::devicesJson(list);
    *shape = QJsonDocument(withoutCounters(devices).toArray()).toJson(QJsonDocument::Compact);
    return compact({{QStringLiteral("type"), QStringLiteral("state")}, {QStringLiteral("devices"), devices}});
}

QByteArray Console::logFrame(quint64 after, quint64 *last) const
{
    QJsonArray lines;
    if (m_source.log) {
        for (const LogTail::Line &line : m_source.log->since(after, last))
            lines.append(QJsonObject {{QStringLiteral("device"), line.device},
                                      {QStringLiteral("text"), line.text}});
    }
    return compact({{QStringLiteral("type"), QStringLiteral("log")}, {QStringLiteral("lines"), lines}});
}

void Console::tick(bool counters)
{
    QByteArray shape;
    const QByteArray state = stateFrame(&shape);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A change of state goes out at once; counters alone once a second.
    const bool sendState = state != m_lastState
        && (shape != m_lastShape || counters || now - m_lastStateMs >= CounterIntervalMs);
    if (sendState) {
        m_lastState = state;
        m_lastShape = shape;
        m_lastStateMs = now;
    }
    quint64 newest = 0;
    if (m_source.log)
        (void)m_source.log->since(~quint64(0), &newest);
    // Subscribers that have seen the same lines get the same frame.
    quint64 cachedAfter = ~quint64(0);
    QByteArray cachedLog;
    const QList<Subscriber *> subscribers = m_subscribers; // one may go while sending
    for (Subscriber *subscriber : subscribers) {
        if (!m_subscribers.contains(subscriber))
            continue;
        if (sendState && !send(*subscriber, state))
            continue;
        if (subscriber->logSeen == newest)
            continue;
        if (subscriber->logSeen != cachedAfter) {
            cachedAfter = subscriber->logSeen;
            cachedLog = logFrame(cachedAfter, &newest);
        }
        if (m_subscribers.contains(subscriber) && send(*subscriber, cachedLog))
            subscriber->logSeen = newest;
    }
}

void Console::answer(Subscriber &subscriber, const QString &message)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &error);
    const QJsonObject request = document.object();
    QJsonObject result {{QStringLiteral("type"), QStringLiteral("result")},
                        {QStringLiteral("id"), request.value(QStringLiteral("id"))}};
    QString why;
    if (!document.isObject())
        why = QStringLiteral("not a JSON object: %1").arg(error.errorString());
    else if (!subscriber.access.control)
        why = QStringLiteral("this console is read-only: a client certificate is needed");
    else
        why = act(subscriber.access, request);
    result.insert(QStringLiteral("ok"), why.isEmpty());
    if (!why.isEmpty())
        result.insert(QStringLiteral("error"), why);
    send(subscriber, compact(result));
}

QString Console::act(const Access &access, const QJsonObject &request)
{
    const QString action = request.value(QStringLiteral("action")).toString();
    const QString name = request.value(QStringLiteral("device")).toString();
    Hub *hub = m_source.hub ? m_source.hub(name) : nullptr;
    if (!hub)
        return QStringLiteral("no device %1").arg(name);
    const auto number = [&](const char *key, int low, int high, int *value) {
        const QJsonValue v = request.value(QLatin1String(key));
        const double d = v.toDouble(-1);
        if (!v.isDouble() || d != double(int(d)) || d < low || d > high)
            return false;
        *value = int(d);
        return true;
    };
    const LogScope scope(hub->name());
    const auto logged = [&](const QString &what) {
        qCInfo(lcNet, "console: %s: %s (device \"%s\")", qUtf8Printable(access.subject), qUtf8Printable(what),
               qUtf8Printable(name));
    };
    int index = 0;
    const bool hasIndex = number("index", 0, EndpointCount - 1, &index);
    try {
        if (action == QLatin1String("open")) {
            int port = hub->snapshot().comPort;
            if (request.contains(QStringLiteral("port")) && !number("port", 1, 255, &port))
                return QStringLiteral("\"port\" is a port number");
            logged(QStringLiteral("Open COM port %1").arg(port));
            hub->openPort(port);
        } else if (action == QLatin1String("close")) {
            logged(QStringLiteral("Close"));
            hub->closePort();
        } else if (action == QLatin1String("line")) {
            const QString text = request.value(QStringLiteral("settings")).toString();
            const std::optional<LineSettings> line = LineSettings::fromCommSettings(text, hub->snapshot().line);
            if (!line)
                return QStringLiteral("\"%1\" is no Settings text like 9600,E,7,1").arg(text);
            logged(QStringLiteral("Settings %1").arg(text));
            if (const QString refused = hub->setLine(*line, true); !refused.isEmpty())
                return QStringLiteral("The serial port refused %1. It keeps its settings.").arg(refused);
        } else if (action == QLatin1String("listen")) {
            int port = 0;
            if (!hasIndex || !EndpointRows[std::size_t(index)].listens)
                return QStringLiteral("\"index\" names no listener");
            if (!number("port", 0, 65535, &port))
                return QStringLiteral("\"port\" is a TCP port, 0..65535");
            logged(QStringLiteral("Listen, %1 on port %2").arg(QLatin1String(endpointName(index))).arg(port));
            hub->listen(index, port);
        } else if (action == QLatin1String("stop")) {
            if (!hasIndex || !EndpointRows[std::size_t(index)].listens)
                return QStringLiteral("\"index\" names no listener");
            logged(QStringLiteral("Close, %1").arg(QLatin1String(endpointName(index))));
            hub->stopListening(index);
        } else if (action == QLatin1String("drop")) {
            const QString peer = request.value(QStringLiteral("peer")).toString();
            const qsizetype colon = peer.lastIndexOf(QLatin1Char(':'));
            bool ok = false;
            const uint port = colon > 0 ? peer.mid(colon + 1).toUInt(&ok) : 0;
            QString address = colon > 0 ? peer.left(colon) : QString();
            if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
                address = address.mid(1, address.size() - 2);
            if (!hasIndex)
                return QStringLiteral("\"index\" names no endpoint");
            if (!ok || port > 65535 || QHostAddress(address).isNull())
                return QStringLiteral("\"peer\" is ADDRESS:PORT");
            logged(QStringLiteral("Close peer %1 of %2").arg(peer, QLatin1String(endpointName(index))));
            if (!hub->closePeer(index, address, quint16(port)))
                return QStringLiteral("%1 has no peer %2").arg(QLatin1String(endpointName(index)), peer);
        } else {
            return QStringLiteral("unknown action \"%1\"").arg(action);
        }
    } catch (const ComponentError &failure) {
        return failure.text();
    }
    return {};
}
