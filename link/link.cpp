#include "link/link.h"

#include "platform/handler_guard.h"
#include "platform/log_categories.h"
#include "platform/winsock.h"

#include <QTimer>

#include <climits>
#include <utility>

namespace {

using P = ComPortProtocol;

constexpr std::pair<LineSettings::Parity, quint8> ParityCodes[] = {
    {LineSettings::Parity::None, P::ParityNone}, {LineSettings::Parity::Odd, P::ParityOdd},
    {LineSettings::Parity::Even, P::ParityEven}, {LineSettings::Parity::Mark, P::ParityMark},
    {LineSettings::Parity::Space, P::ParitySpace},
};

quint8 parityCode(LineSettings::Parity parity)
{
    for (const auto &[p, code] : ParityCodes) {
        if (p == parity)
            return code;
    }
    return P::ParityNone;
}

// "speed 115200", "parity Even", "stop bits 2" for the log.
QString describe(P::Request::Kind kind, quint32 value)
{
    using Kind = P::Request::Kind;
    switch (kind) {
    case Kind::SetBaudRate:
        return QStringLiteral("speed %1").arg(value);
    case Kind::SetDataSize:
        return QStringLiteral("data bits %1").arg(value);
    case Kind::SetParity:
        for (const auto &[p, code] : ParityCodes) {
            if (code == value)
                return QStringLiteral("parity ") + LineSettings::parityText(p);
        }
        break;
    case Kind::SetStopSize:
        if (value == P::StopOne || value == P::StopTwo || value == P::StopOneAndHalf)
            return QStringLiteral("stop bits ")
                + (value == P::StopOne ? QStringLiteral("1")
                                       : value == P::StopTwo ? QStringLiteral("2") : QStringLiteral("1.5"));
        break;
    default:
        break;
    }
    return QStringLiteral("code %1 value %2").arg(int(kind)).arg(value);
}

QString modemLines(quint8 state)
{
    QStringList lines;
    for (const auto &[bit, name] : {std::pair {0x10, "CTS"}, {0x20, "DSR"}, {0x40, "RI"}, {0x80, "DCD"}})
        lines.append(QLatin1String(name) + ((state & bit) ? QStringLiteral(" on") : QStringLiteral(" off")));
    return lines.join(QStringLiteral(", "));
}

} // namespace

Link::Link(QString host, quint16 port, QObject *parent)
    : QObject(parent), m_host(std::move(host)), m_port(port), m_socket(new Winsock(this)),
      m_reconnect(new QTimer(this))
{
    m_reconnect->setInterval(ReconnectMs);
    connect(m_reconnect, &QTimer::timeout, this, [this] { runHandler("link: reconnect", [this] { connectNow(); }); });
    connect(m_socket, &Winsock::Connected, this, [this] { runHandler("link: connected", [this] { onConnected(); }); });
    connect(m_socket, &Winsock::DataArrival, this, [this] { runHandler("link: from the hub", [this] { fromHub(); }); });
    connect(m_socket, &Winsock::PeerClosed, this, [this] {
        runHandler("link: hub closed", [this] {
            fromHub(); // what it sent before closing still reaches the application
            onLost(QStringLiteral("the hub closed the connection"));
        });
    });
    connect(m_socket, &Winsock::Error, this, [this](int number, const QString &description) {
        runHandler("link: socket error", [&] { onLost(QStringLiteral("%1 (%2)").arg(description).arg(number)); });
    });
    connect(m_socket, &Winsock::BytesSent, this, [this] { runHandler("link: sent", [this] { throttle(); }); });
    connect(&m_device, &LinkDevice::dataRead, this, [this](const QByteArray &bytes) {
        runHandler("link: from the application", [&] { fromApplication(bytes); });
    });
    connect(&m_device, &LinkDevice::lineChanged, this, [this] {
        runHandler("link: line changed", [this] {
            // A notice also comes for a change of echo or of the link's own.
            m_lineSet = m_lineSet || m_device.line() != m_given;
            if (connected() && m_queries == 0)
                sendLine();
        });
    });
    connect(&m_device, &LinkDevice::bytesWritten, this, [this] { runHandler("link: written", [this] { throttle(); }); });
}

Link::~Link() = default;

void Link::start()
{
    m_given = m_device.line();
    connectNow();
}

void Link::stop()
{
    if (!m_queue.isEmpty() || m_dropped > 0)
        qCWarning(lcLink, "ending while the hub is away: %lld bytes kept for it are lost, %lld were dropped",
                  qint64(m_queue.size()), m_dropped);
    m_reconnect->stop();
    m_socket->Close();
    m_device.removeLink();
}

void Link::setTls(Winsock::TlsSetup setup)
{
    m_socket->setClientTls(std::move(setup));
}

bool Link::connected() const
{
    return !m_down && m_socket->CanSend();
}

void Link::connectNow()
{
    m_socket->Close();
    m_socket->setRemoteHost(m_host);
    m_socket->setRemotePort(m_port);
    m_socket->Connect();
}

void Link::onConnected()
{
    m_down = false;
    m_reconnect->stop();
    m_protocol = std::make_unique<ComPortProtocol>(ComPortProtocol::Role::Client);
    m_asked.clear();
    m_sent = {};
    m_hubLine = {};
    m_socket->SendData(m_protocol->greeting());
    ask(Kind::Signature, 0);
    // The hub's line, which the device starts with. Its parity is also
    // what the link asks for again once the application's can no longer
    // be seen.
    m_queries = 3;
    ask(Kind::SetBaudRate, 0);
    ask(Kind::SetStopSize, 0);
    ask(Kind::SetParity, P::ParityQuery);
    if (!m_everConnected) {
        m_everConnected = true;
        qCInfo(lcLink, "connected to %s:%u; the device is %s", qUtf8Printable(m_host), unsigned(m_port),
               qUtf8Printable(m_device.terminalPath()));
        emit firstAttempt({});
    } else {
        qCInfo(lcLink, "connected to %s:%u again", qUtf8Printable(m_host), unsigned(m_port));
    }
    if (!m_queue.isEmpty() || m_dropped > 0) {
        qCInfo(lcLink, "sending the %lld bytes written while the hub was away; %lld more were dropped",
               qint64(m_queue.size()), m_dropped);
        m_socket->SendData(ComPortProtocol::toPeer(std::exchange(m_queue, {})));
        m_dropped = 0;
    }
    throttle();
}

void Link::onLost(const QString &why)
{
    if (m_down) {
        if (!m_everConnected)
            emit firstAttempt(why);
        return; // a reconnect that failed: the timer tries again
    }
    m_down = true;
    m_protocol.reset();
    m_socket->Close();
    qCWarning(lcLink, "lost the hub: %s; the device stays, up to %lld bytes written meanwhile are "
                      "kept, connecting again every %d s",
              qUtf8Printable(why), QueueLimit, ReconnectMs / 1000);
    m_reconnect->start();
    throttle();
}

void Link::fromHub()
{
    const QByteArray bytes = m_socket->GetData();
    if (!m_protocol || bytes.isEmpty())
        return;
    QList<ComPortProtocol::Request> answers;
    const QByteArray data = m_protocol->fromPeer(bytes, &answers);
    if (!data.isEmpty())
        m_device.write(data);
    if (const QByteArray replies = m_protocol->takeReplies(); !replies.isEmpty())
        m_socket->SendData(replies);
    for (const ComPortProtocol::Request &answer : std::as_const(answers))
        answered(answer);
    throttle();
}

void Link::fromApplication(const QByteArray &bytes)
{
    if (connected()) {
        m_socket->SendData(ComPortProtocol::toPeer(bytes));
        throttle();
        return;
    }
    const qint64 room = qMax<qint64>(0, QueueLimit - m_queue.size());
    m_queue.append(bytes.left(room));
    if (bytes.size() > room) {
        if (m_dropped == 0)
            qCWarning(lcLink, "%lld bytes written while the hub is away: the rest is dropped until it is back",
                      QueueLimit);
        m_dropped += bytes.size() - room;
    }
}

void Link::sendLine()
{
    const LinkDevice::Line now = m_device.line();
    if (now.baudRate > 0 && now.baudRate != m_sent.baudRate)
        ask(Kind::SetBaudRate, quint32(now.baudRate));
    if (now.stopBits != m_sent.stopBits)
        ask(Kind::SetStopSize, now.stopBits == QLatin1String("2") ? P::StopTwo : P::StopOne);
    if (now.parityShown && (!m_sent.parityShown || now.parity != m_sent.parity))
        ask(Kind::SetParity, parityCode(now.parity));
    else if (!now.parityShown && m_sent.parityShown && m_hubParity != P::ParityQuery)
        ask(Kind::SetParity, m_hubParity);
    m_sent = now;
}

void Link::noteHubLine(const ComPortProtocol::Request &answer)
{
    if (m_queries == 0)
        return;
    switch (answer.kind) {
    case Kind::SetBaudRate:
        m_hubLine.baudRate = answer.value <= quint32(INT_MAX) ? qint32(answer.value) : 0;
        break;
    case Kind::SetStopSize:
        m_hubLine.stopBits = answer.value == P::StopTwo ? QStringLiteral("2")
            : answer.value == P::StopOneAndHalf          ? QStringLiteral("1.5")
                                                         : QStringLiteral("1");
        break;
    case Kind::SetParity:
        for (const auto &[parity, code] : ParityCodes) {
            if (code == answer.value) {
                m_hubLine.parity = parity;
                // Even and none look alike on the device.
                m_hubLine.parityShown = parity == LineSettings::Parity::Odd
                    || parity == LineSettings::Parity::Mark || parity == LineSettings::Parity::Space;
            }
        }
        break;
    default:
        return;
    }
    if (--m_queries == 0)
        hubLineKnown();
}

void Link::hubLineKnown()
{
    m_sent = m_hubLine;
    // The application may have set its line just now, its notice not yet read.
    m_lineSet = m_lineSet || m_device.line() != m_given;
    if (m_lineSet) {
        sendLine();
        return;
    }
    m_device.setLine(m_hubLine);
    m_given = m_sent = m_device.line();
    qCInfo(lcLink, "the device starts with the hub's line: speed %d, stop bits %s%s",
           m_given.baudRate, qUtf8Printable(m_given.stopBits),
           m_given.parityShown
               ? qUtf8Printable(QStringLiteral(", parity ") + LineSettings::parityText(m_given.parity))
               : "");
}

void Link::ask(Kind kind, quint32 value)
{
    if (kind != Kind::Signature) {
        m_asked[kind].append(value);
        if (value != 0)
            qCInfo(lcLink, "asking the hub for %s", qUtf8Printable(describe(kind, value)));
    }
    m_socket->SendData(ComPortProtocol::request(kind, value));
}

void Link::answered(const ComPortProtocol::Request &answer)
{
    switch (answer.kind) {
    case Kind::SetBaudRate:
    case Kind::SetDataSize:
    case Kind::SetParity:
    case Kind::SetStopSize: {
        QList<quint32> &asked = m_asked[answer.kind];
        const quint32 wanted = asked.isEmpty() ? 0 : asked.takeFirst();
        const QString now = describe(answer.kind, answer.value);
        if (wanted == 0) {
            if (answer.kind == Kind::SetParity)
                m_hubParity = answer.value;
            qCInfo(lcLink, "the hub's %s", qUtf8Printable(now));
            noteHubLine(answer);
        } else if (answer.value == wanted) {
            qCInfo(lcLink, "the hub set %s", qUtf8Printable(now));
        } else {
            qCWarning(lcLink, "the hub refused %s: it keeps %s; the application's setting stays",
                      qUtf8Printable(describe(answer.kind, wanted)), qUtf8Printable(now));
        }
        return;
    }
    case Kind::SetControl:
        qCInfo(lcLink, "the hub answered SET-CONTROL with %u", answer.value);
        return;
    case Kind::NotifyModemState:
        qCInfo(lcLink, "the hub's modem lines: %s", qUtf8Printable(modemLines(quint8(answer.value))));
        return;
    case Kind::NotifyLineState:
        qCInfo(lcLink, "the hub's line state: 0x%02x", answer.value);
        return;
    case Kind::Signature:
        if (!answer.text.isEmpty())
            qCInfo(lcLink, "the hub is %s", answer.text.constData());
        return;
    default:
        return; // masks and purges are never asked; flow suspension is not honoured yet
    }
}

void Link::throttle()
{
    // Each side is held back by the other's unsent bytes, so neither the
    // socket's queue nor the device's grows without bound; while the hub
    // is away the queue's own bound applies instead.
    m_device.setReading(m_down || m_socket->BytesToSend() < HighMark);
    m_socket->setReceivePaused(m_device.bytesToWrite() >= HighMark);
}
