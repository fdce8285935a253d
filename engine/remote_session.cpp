#include "engine/remote_session.h"

#include "engine/flow_control.h"
#include "engine/serial_bridge.h"
#include "engine/socket_endpoint.h"
#include "platform/handler_guard.h"
#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"

#include <QCoreApplication>
#include <QTimer>

#include <climits>
#include <utility>

namespace {
using Request = ComPortProtocol::Request;
constexpr int ModemPollMs = 100;

constexpr std::pair<LineSettings::Parity, quint8> ParityCodes[] = {
    {LineSettings::Parity::None, ComPortProtocol::ParityNone},
    {LineSettings::Parity::Odd, ComPortProtocol::ParityOdd},
    {LineSettings::Parity::Even, ComPortProtocol::ParityEven},
    {LineSettings::Parity::Mark, ComPortProtocol::ParityMark},
    {LineSettings::Parity::Space, ComPortProtocol::ParitySpace},
};
constexpr std::pair<const char *, quint8> StopCodes[] = {
    {"1", ComPortProtocol::StopOne},
    {"2", ComPortProtocol::StopTwo},
    {"1.5", ComPortProtocol::StopOneAndHalf},
};

quint8 flowCode(LineSettings::Flow flow, bool inbound)
{
    const quint8 base = inbound ? ComPortProtocol::InboundFlowNone : ComPortProtocol::FlowNone;
    switch (flow) {
    case LineSettings::Flow::None: return base;
    case LineSettings::Flow::XonXoff: return quint8(base + 1);
    case LineSettings::Flow::RtsCts: return quint8(base + 2);
    }
    return base;
}
} // namespace

RemoteSession::RemoteSession(SocketEndpoint &endpoint, SerialBridge &serial, FlowControl &flow,
                             QObject *parent)
    : QObject(parent), m_endpoint(endpoint), m_serial(serial), m_flow(flow),
      m_modemPoll(new QTimer(this))
{
    m_modemPoll->setInterval(ModemPollMs);
    connect(m_modemPoll, &QTimer::timeout, this,
            [this] { runHandler("modem lines", [&] { pollModemLines(); }); });
}

RemoteSession::~RemoteSession() = default;

void RemoteSession::send(const QByteArray &bytes)
{
    if (m_endpoint.connected())
        m_endpoint.connection().SendData(bytes);
}

void RemoteSession::start(bool on)
{
    m_protocol.reset();
    m_held.clear();
    m_suspended = false;
    m_flow.setHeld(m_endpoint.connection(), false);
    if (!on)
        return;
    m_protocol = std::make_unique<ComPortProtocol>();
    m_modemMask = ComPortProtocol::DefaultModemStateMask;
    m_lastModem = m_serial.comm().ModemLines();
    m_endpoint.connection().SendData(m_protocol->greeting());
    // The lines as they are now, so a client that reads them has an answer
    // before anything changes.
    m_endpoint.connection().SendData(ComPortProtocol::notifyModemState(m_lastModem & m_modemMask));
    m_modemPoll->start();
}

QByteArray RemoteSession::fromPeer(const QByteArray &chunk)
{
    QList<Request> requests;
    const QByteArray data = m_protocol->fromPeer(chunk, &requests);
    if (const QByteArray replies = m_protocol->takeReplies(); !replies.isEmpty())
        send(replies);
    for (const Request &each : std::as_const(requests))
        request(each);
    // The answers queue on the peer's own socket: one that sends and never
    // reads stops being read before the next chunk, data in it or not.
    m_flow.check();
    return data;
}

void RemoteSession::toPeer(const QByteArray &chunk, qint64 holdLimit)
{
    if (!m_suspended) {
        m_endpoint.connection().SendData(ComPortProtocol::toPeer(chunk));
        return;
    }
    m_held += chunk;
    if (m_held.size() > holdLimit)
        emit overflowed(holdLimit);
}

void RemoteSession::request(const Request &request)
{
    LineSettings line = m_serial.line();
    const quint32 value = request.value;
    const auto answer = [this, &request](quint32 inEffect) {
        send(ComPortProtocol::answer(request.kind, inEffect));
    };
    switch (request.kind) {
    case Request::Kind::SetBaudRate:
        if (value != 0 && value <= quint32(INT_MAX)) {
            line.baudRate = qint32(value);
            m_serial.setLineFromPeer(line);
        }
        answer(quint32(m_serial.line().baudRate));
        return;
    case Request::Kind::SetDataSize:
        if (value >= 5 && value <= 8) {
            line.dataBits = int(value);
            m_serial.setLineFromPeer(line);
        }
        answer(quint32(m_serial.line().dataBits));
        return;
    case Request::Kind::SetParity:
        for (const auto &[parity, code] : ParityCodes) {
            if (code == value) {
                line.parity = parity;
                m_serial.setLineFromPeer(line);
            }
        }
        for (const auto &[parity, code] : ParityCodes) {
            if (parity == m_serial.line().parity)
                answer(code);
        }
        return;
    case Request::Kind::SetStopSize:
        for (const auto &[text, code] : StopCodes) {
            if (code == value) {
                line.stopBits = QLatin1String(text);
                m_serial.setLineFromPeer(line);
            }
        }
        for (const auto &[text, code] : StopCodes) {
            if (m_serial.line().stopBits == QLatin1String(text))
                answer(code);
        }
        return;
    case Request::Kind::SetControl:
        control(value, answer);
        return;
    case Request::Kind::SetLineStateMask:
        // Qt reports no line errors here, so nothing is ever notified; the
        // mask is still the one in effect.
        m_lineMask = quint8(value);
        answer(value);
        return;
    case Request::Kind::SetModemStateMask:
        // The lines are read only while the peer wants any of them.
        m_modemMask = quint8(value);
        if (m_modemMask == 0)
            m_modemPoll->stop();
        else
            m_modemPoll->start();
        answer(value);
        return;
    case Request::Kind::PurgeData:
        m_serial.comm().purge(value & ComPortProtocol::PurgeReceive, value & ComPortProtocol::PurgeTransmit);
        answer(value);
        return;
    case Request::Kind::FlowControlSuspend:
        m_suspended = true;
        m_flow.setHeld(m_endpoint.connection(), true);
        return;
    case Request::Kind::FlowControlResume:
        m_suspended = false;
        m_flow.setHeld(m_endpoint.connection(), false);
        if (!m_held.isEmpty())
            send(ComPortProtocol::toPeer(std::exchange(m_held, {})));
        m_flow.update();
        return;
    case Request::Kind::Signature:
        if (request.text.isEmpty()) {
            send(ComPortProtocol::signature((QCoreApplication::applicationName() + QLatin1Char(' ')
                                             + QCoreApplication::applicationVersion())
                                                .trimmed()
                                                .toUtf8()));
        } else {
            qCInfo(lcNet, "%s: the RFC 2217 peer is %s", endpointName(m_endpoint.index()),
                   request.text.constData());
        }
        return;
    case Request::Kind::NotifyLineState:
    case Request::Kind::NotifyModemState:
        return; // only a client's side decodes these
    }
}

void RemoteSession::control(quint32 value, const std::function<void(quint32)> &answer)
{
    using P = ComPortProtocol;
    LineSettings line = m_serial.line();
    if (value <= P::FlowHardware || (value >= P::InboundFlowQuery && value <= P::InboundFlowHardware)) {
        const bool inbound = value >= P::InboundFlowQuery;
        const quint32 offset = value - (inbound ? P::InboundFlowQuery : P::FlowQuery);
        if (offset != 0) {
            line.flowControl = offset == 1 ? LineSettings::Flow::None
                : offset == 2              ? LineSettings::Flow::XonXoff
                                           : LineSettings::Flow::RtsCts;
            m_serial.setLineFromPeer(line);
        }
        answer(flowCode(m_serial.line().flowControl, inbound));
    } else if (value >= P::BreakQuery && value <= P::BreakOff) {
        if (value != P::BreakQuery)
            (void)m_serial.comm().setBreak(value == P::BreakOn);
        answer(m_serial.comm().Break() ? P::BreakOn : P::BreakOff);
    } else if (value >= P::DtrQuery && value <= P::DtrOff) {
        if (value != P::DtrQuery) {
            // A line without DTR (a pseudo-terminal) keeps the value for the
            // next open; the answer comes at once either way.
            (void)m_serial.comm().setDTREnable(value == P::DtrOn);
            line.dtr = value == P::DtrOn;
            m_serial.takeLine(line, " (set by the RFC 2217 peer)");
        }
        answer(m_serial.comm().DTREnable() ? P::DtrOn : P::DtrOff);
    } else if (value >= P::RtsQuery && value <= P::RtsOff) {
        if (value != P::RtsQuery) {
            (void)m_serial.comm().setRTSEnable(value == P::RtsOn);
            line.rts = value == P::RtsOn;
            m_serial.takeLine(line, " (set by the RFC 2217 peer)");
        }
        answer(m_serial.comm().RTSEnable() ? P::RtsOn : P::RtsOff);
    } else {
        // Flow control by DCD, DTR or DSR is not offered: the flow in effect.
        answer(flowCode(m_serial.line().flowControl, false));
    }
}

void RemoteSession::pollModemLines()
{
    if (!m_protocol || !m_endpoint.connected()) {
        m_modemPoll->stop();
        return;
    }
    const quint8 lines = m_serial.comm().ModemLines();
    if (lines == m_lastModem)
        return;
    const quint8 state = ComPortProtocol::modemStateWithDeltas(m_lastModem, lines);
    m_lastModem = lines;
    if (state & m_modemMask)
        m_endpoint.connection().SendData(ComPortProtocol::notifyModemState(state & m_modemMask));
}
