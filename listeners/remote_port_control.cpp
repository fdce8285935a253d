// Remote port control of the serial port by the peer of the TCP/IP Server
// (endpoint 2), RFC 2217, while [network] Rfc2217 is on: the Telnet session
// is decoded on the way in and IAC is doubled on the way out; each port
// request is applied to the open port and answered with the value in effect.

#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/com_port_protocol.h"
#include "relay/flow_control.h"
#include "relay/handler_guard.h"
#include "relay/relay_core.h"

#include <QCoreApplication>
#include <QTimer>

#include <climits>
#include <utility>

namespace {
using Request = ComPortProtocol::Request;
constexpr int Remote = 2; // the endpoint that speaks RFC 2217
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

void RelayCore::startRemoteControl()
{
    // A new peer starts a new session, whatever the last one left.
    m_remote.reset();
    m_remoteHeld.clear();
    m_remoteSuspended = false;
    m_flow->setHeld(Remote, false);
    if (!m_network.rfc2217)
        return;
    m_remote = std::make_unique<ComPortProtocol>();
    m_modemMask = ComPortProtocol::DefaultModemStateMask;
    m_lastModem = Com1->ModemLines();
    Winsock1[Remote]->SendData(m_remote->greeting());
    // The lines as they are now, so a client that reads them has an answer
    // before anything changes.
    Winsock1[Remote]->SendData(ComPortProtocol::notifyModemState(m_lastModem & m_modemMask));
    if (!m_modemPoll) {
        m_modemPoll = new QTimer(this);
        m_modemPoll->setInterval(ModemPollMs);
        connect(m_modemPoll, &QTimer::timeout, this,
                [this] { runHandler("modem lines", [&] { pollModemLines(); }); });
    }
    m_modemPoll->start();
}

QByteArray RelayCore::fromRemotePeer(const QByteArray &chunk)
{
    QList<Request> requests;
    const QByteArray data = m_remote->fromPeer(chunk, &requests);
    Winsock &socket = *Winsock1[Remote];
    if (const QByteArray replies = m_remote->takeReplies();
        !replies.isEmpty() && socket.State() == Winsock::sckConnected)
        socket.SendData(replies);
    for (const Request &request : std::as_const(requests))
        remoteRequest(request);
    // The answers queue on the peer's own socket: one that sends and never
    // reads stops being read before the next chunk, data in it or not.
    m_flow->update();
    return data;
}

void RelayCore::remotePeerLeft()
{
    // Only a remote peer makes the line differ from the operator's; the next
    // peer, or nobody in headless mode, must not inherit its settings.
    if (m_line == m_storedLine)
        return;
    if (Com1->PortOpen() && !applyToOpenPort(m_storedLine).isEmpty())
        return; // refused (said in the log): the line in effect stays what it is
    takeLine(m_storedLine, " (the RFC 2217 peer left: the operator's again)");
}

void RelayCore::remoteRequest(const Request &request)
{
    LineSettings line = m_line;
    const quint32 value = request.value;
    const auto answer = [this, &request](quint32 inEffect) {
        if (Winsock1[Remote]->State() == Winsock::sckConnected)
            Winsock1[Remote]->SendData(ComPortProtocol::answer(request.kind, inEffect));
    };
    switch (request.kind) {
    case Request::Kind::SetBaudRate:
        if (value != 0 && value <= quint32(INT_MAX)) {
            line.baudRate = qint32(value);
            setLineFromPeer(line);
        }
        answer(quint32(m_line.baudRate));
        return;
    case Request::Kind::SetDataSize:
        if (value >= 5 && value <= 8) {
            line.dataBits = int(value);
            setLineFromPeer(line);
        }
        answer(quint32(m_line.dataBits));
        return;
    case Request::Kind::SetParity:
        for (const auto &[parity, code] : ParityCodes) {
            if (code == value) {
                line.parity = parity;
                setLineFromPeer(line);
            }
        }
        for (const auto &[parity, code] : ParityCodes) {
            if (parity == m_line.parity)
                answer(code);
        }
        return;
    case Request::Kind::SetStopSize:
        for (const auto &[text, code] : StopCodes) {
            if (code == value) {
                line.stopBits = QLatin1String(text);
                setLineFromPeer(line);
            }
        }
        for (const auto &[text, code] : StopCodes) {
            if (m_line.stopBits == QLatin1String(text))
                answer(code);
        }
        return;
    case Request::Kind::SetControl:
        remoteControl(value, answer);
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
        Com1->purge(value & ComPortProtocol::PurgeReceive, value & ComPortProtocol::PurgeTransmit);
        answer(value);
        return;
    case Request::Kind::FlowControlSuspend:
        m_remoteSuspended = true;
        m_flow->setHeld(Remote, true);
        return;
    case Request::Kind::FlowControlResume:
        m_remoteSuspended = false;
        m_flow->setHeld(Remote, false);
        if (!m_remoteHeld.isEmpty() && Winsock1[Remote]->State() == Winsock::sckConnected)
            Winsock1[Remote]->SendData(ComPortProtocol::toPeer(std::exchange(m_remoteHeld, {})));
        m_flow->update();
        return;
    case Request::Kind::Signature:
        if (request.text.isEmpty()) {
            if (Winsock1[Remote]->State() == Winsock::sckConnected) {
                Winsock1[Remote]->SendData(ComPortProtocol::signature(
                    (QCoreApplication::applicationName() + QLatin1Char(' ')
                     + QCoreApplication::applicationVersion())
                        .trimmed()
                        .toUtf8()));
            }
        } else {
            qCInfo(lcNet, "endpoint 2: the RFC 2217 peer is %s", request.text.constData());
        }
        return;
    }
}

void RelayCore::remoteControl(quint32 value, const std::function<void(quint32)> &answer)
{
    using P = ComPortProtocol;
    LineSettings line = m_line;
    if (value <= P::FlowHardware || (value >= P::InboundFlowQuery && value <= P::InboundFlowHardware)) {
        const bool inbound = value >= P::InboundFlowQuery;
        const quint32 offset = value - (inbound ? P::InboundFlowQuery : P::FlowQuery);
        if (offset != 0) {
            line.flowControl = offset == 1 ? LineSettings::Flow::None
                : offset == 2              ? LineSettings::Flow::XonXoff
                                           : LineSettings::Flow::RtsCts;
            setLineFromPeer(line);
        }
        answer(flowCode(m_line.flowControl, inbound));
    } else if (value >= P::BreakQuery && value <= P::BreakOff) {
        if (value != P::BreakQuery)
            (void)Com1->setBreak(value == P::BreakOn);
        answer(Com1->Break() ? P::BreakOn : P::BreakOff);
    } else if (value >= P::DtrQuery && value <= P::DtrOff) {
        if (value != P::DtrQuery) {
            // A line without DTR (a pseudo-terminal) keeps the value for the
            // next open; the answer comes at once either way.
            (void)Com1->setDTREnable(value == P::DtrOn);
            line.dtr = value == P::DtrOn;
            takeLine(line, " (set by the RFC 2217 peer)");
        }
        answer(Com1->DTREnable() ? P::DtrOn : P::DtrOff);
    } else if (value >= P::RtsQuery && value <= P::RtsOff) {
        if (value != P::RtsQuery) {
            (void)Com1->setRTSEnable(value == P::RtsOn);
            line.rts = value == P::RtsOn;
            takeLine(line, " (set by the RFC 2217 peer)");
        }
        answer(Com1->RTSEnable() ? P::RtsOn : P::RtsOff);
    } else {
        // Flow control by DCD, DTR or DSR is not offered: the flow in effect.
        answer(flowCode(m_line.flowControl, false));
    }
}

void RelayCore::pollModemLines()
{
    if (!m_remote || Winsock1[Remote]->State() != Winsock::sckConnected) {
        m_modemPoll->stop();
        return;
    }
    const quint8 lines = Com1->ModemLines();
    if (lines == m_lastModem)
        return;
    const quint8 state = ComPortProtocol::modemStateWithDeltas(m_lastModem, lines);
    m_lastModem = lines;
    if (state & m_modemMask)
        Winsock1[Remote]->SendData(ComPortProtocol::notifyModemState(state & m_modemMask));
}
