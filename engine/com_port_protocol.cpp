#include "engine/com_port_protocol.h"

#include "platform/log_categories.h"

namespace {

// RFC 2217 command codes as the client sends them; the server's are + 100.
enum Command : quint8 {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};
constexpr quint8 ServerOffset = 100;

using Kind = ComPortProtocol::Request::Kind;

quint8 commandOf(Kind kind)
{
    switch (kind) {
    case Kind::SetBaudRate: return SetBaudRate;
    case Kind::SetDataSize: return SetDataSize;
    case Kind::SetParity: return SetParity;
    case Kind::SetStopSize: return SetStopSize;
    case Kind::SetControl: return SetControl;
    case Kind::SetLineStateMask: return SetLineStateMask;
    case Kind::SetModemStateMask: return SetModemStateMask;
    case Kind::PurgeData: return PurgeData;
    case Kind::FlowControlSuspend: return FlowControlSuspend;
    case Kind::FlowControlResume: return FlowControlResume;
    case Kind::Signature: return Signature;
    case Kind::NotifyLineState: return NotifyLineState;
    case Kind::NotifyModemState: return NotifyModemState;
    }
    return Signature;
}

// IAC SB COM-PORT-OPTION <command> <value, IAC doubled> IAC SE
QByteArray subnegotiate(quint8 command, const QByteArray &value)
{
    QByteArray out;
    out.reserve(value.size() * 2 + 6);
    out.append(char(ComPortProtocol::Iac));
    out.append(char(ComPortProtocol::Sb));
    out.append(char(ComPortProtocol::OptionComPort));
    out.append(char(command));
    out.append(ComPortProtocol::toPeer(value));
    out.append(char(ComPortProtocol::Iac));
    out.append(char(ComPortProtocol::Se));
    return out;
}

QByteArray serverCommand(quint8 command, const QByteArray &value)
{
    return subnegotiate(command + ServerOffset, value);
}

// The value bytes of a command of `kind`, server's or client's alike.
QByteArray valueOf(Kind kind, quint32 value)
{
    switch (kind) {
    case Kind::SetBaudRate: {
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = char(value >> (24 - 8 * i));
        return bytes;
    }
    case Kind::FlowControlSuspend:
    case Kind::FlowControlResume:
    case Kind::Signature:
        return {};
    default:
        return QByteArray(1, char(value));
    }
}

} // namespace

QByteArray ComPortProtocol::greeting()
{
    for (quint8 option : {OptionBinary, OptionComPort}) {
        OptionState &state = *optionState(option);
        if (state.us == Side::No) {
            state.us = Side::WantYes;
            reply(Will, option);
        }
        // A client asks only to use the option; the server's WILL is its own.
        if (state.him == Side::No && (m_role == Role::Server || option == OptionBinary)) {
            state.him = Side::WantYes;
            reply(Do, option);
        }
    }
    return takeReplies();
}

QByteArray ComPortProtocol::takeReplies()
{
    QByteArray out;
    out.swap(m_replies);
    return out;
}

QByteArray ComPortProtocol::fromPeer(const QByteArray &bytes, QList<Request> *requests)
{
    QByteArray data;
    data.reserve(bytes.size());
    const char iac = char(Iac);
    // IAC <command> outside a subnegotiation.
    auto command = [&](quint8 b) {
        if (b == Iac) {
            data.append(iac);
            m_state = State::Data;
        } else if (b >= Will && b <= Dont) {
            m_verb = b;
            m_state = State::Option;
        } else if (b == Sb) {
            m_sub.clear();
            m_subOverflow = false;
            m_state = State::Sub;
        } else {
            m_state = State::Data; // NOP, AYT, BRK, a stray SE, ...: nothing for the device
        }
    };
    auto keep = [this](char c) {
        if (m_sub.size() < MaxSubnegotiation)
            m_sub.append(c);
        else
            m_subOverflow = true;
    };

    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const quint8 b = quint8(bytes.at(i));
        switch (m_state) {
        case State::Data: {
            // Plain data runs up to the next IAC in one piece.
            qsizetype end = bytes.indexOf(iac, i);
            if (end < 0)
                end = bytes.size();
            data.append(bytes.constData() + i, end - i);
            i = end;
            if (i < bytes.size())
                m_state = State::Iac;
            break;
        }
        case State::Iac:
            command(b);
            break;
        case State::Option:
            negotiate(m_verb, b);
            m_state = State::Data;
            break;
        case State::Sub:
            if (b == Iac)
                m_state = State::SubIac;
            else
                keep(char(b));
            break;
        case State::SubIac:
            if (b == Iac) {
                keep(iac);
                m_state = State::Sub;
            } else if (b == Se) {
                subnegotiation(requests);
                m_state = State::Data;
            } else {
                // An IAC not doubled: the peer lost its framing, and what
                // follows may be the rest of the command as much as data.
                // None of it may reach the device.
                qCWarning(lcNet, "the RFC 2217 peer broke a subnegotiation (IAC %02x inside it): "
                                 "discarded up to its IAC SE",
                          unsigned(b));
                m_sub.clear();
                m_discarded = 0;
                m_state = State::Broken;
            }
            break;
        case State::Broken:
        case State::BrokenIac:
            // Read in pairs after an IAC, so that an IAC IAC never passes
            // for the start of the IAC SE; the bound is checked between pairs.
            ++m_discarded;
            if (m_state == State::BrokenIac && b == Se)
                m_state = State::Data;
            else if (m_state == State::Broken && b == Iac)
                m_state = State::BrokenIac;
            else
                m_state = m_discarded >= MaxBrokenDiscard ? State::Data : State::Broken;
            break;
        }
    }
    return data;
}

ComPortProtocol::OptionState *ComPortProtocol::optionState(quint8 option)
{
    if (option == OptionBinary)
        return &m_binary;
    if (option == OptionComPort)
        return &m_comPort;
    return nullptr;
}

// RFC 1143: a request that would change the state is agreed to or refused;
// one that matches the state, or answers our own offer, is not answered.
void ComPortProtocol::negotiate(quint8 verb, quint8 option)
{
    OptionState *state = optionState(option);
    const bool enable = verb == Will || verb == Do;
    const bool aboutHim = verb == Will || verb == Wont;
    if (!state) {
        // Refused options stay off: a request to enable is refused, a
        // notice that one is off needs no answer.
        if (enable)
            reply(aboutHim ? Dont : Wont, option);
        return;
    }
    Side &side = aboutHim ? state->him : state->us;
    const quint8 agree = aboutHim ? Do : Will;
    const quint8 refuse = aboutHim ? Dont : Wont;
    if (enable) {
        if (side == Side::No)
            reply(agree, option);
        side = Side::Yes;
    } else {
        if (side == Side::Yes)
            reply(refuse, option);
        side = Side::No;
    }
}

void ComPortProtocol::reply(quint8 verb, quint8 option)
{
    m_replies.append(char(Iac));
    m_replies.append(char(verb));
    m_replies.append(char(option));
}

void ComPortProtocol::subnegotiation(QList<Request> *requests) const
{
    if (m_subOverflow || m_sub.size() < 2 || quint8(m_sub.at(0)) != OptionComPort || !requests)
        return;
    const QByteArray value = m_sub.mid(2);
    // Each side reads only the other side's codes: a server's own codes
    // coming back to it, or a client's to a client, are dropped.
    quint8 code = quint8(m_sub.at(1));
    if (m_role == Role::Client) {
        if (code < ServerOffset)
            return;
        code -= ServerOffset;
    }
    auto add = [&](Kind kind, quint32 v) { requests->append(Request {kind, v, {}}); };
    // One byte exactly, else the request is malformed and dropped.
    auto addByte = [&](Kind kind) {
        if (value.size() == 1)
            add(kind, quint8(value.at(0)));
    };
    switch (code) {
    case Signature:
        requests->append(Request {Kind::Signature, 0, value});
        break;
    case SetBaudRate:
        if (value.size() == 4) {
            quint32 baud = 0;
            for (char c : value)
                baud = (baud << 8) | quint8(c);
            add(Kind::SetBaudRate, baud);
        }
        break;
    case SetDataSize: addByte(Kind::SetDataSize); break;
    case SetParity: addByte(Kind::SetParity); break;
    case SetStopSize: addByte(Kind::SetStopSize); break;
    case SetControl: addByte(Kind::SetControl); break;
    case SetLineStateMask: addByte(Kind::SetLineStateMask); break;
    case SetModemStateMask: addByte(Kind::SetModemStateMask); break;
    case PurgeData: addByte(Kind::PurgeData); break;
    // These carry no value; whatever follows is ignored.
    case FlowControlSuspend: add(Kind::FlowControlSuspend, 0); break;
    case FlowControlResume: add(Kind::FlowControlResume, 0); break;
    case NotifyLineState:
    case NotifyModemState:
        if (m_role == Role::Client)
            addByte(code == NotifyLineState ? Kind::NotifyLineState : Kind::NotifyModemState);
        break; // they come from a server only
    default:
        break; // unknown codes are dropped
    }
}

QByteArray ComPortProtocol::toPeer(const QByteArray &data)
{
    const char iac = char(Iac);
    if (!data.contains(iac))
        return data;
    QByteArray out;
    out.reserve(data.size() + data.count(iac));
    // Runs up to each IAC in one piece: a link sends megabytes through here.
    qsizetype from = 0;
    for (qsizetype at = data.indexOf(iac); at >= 0; from = at + 1, at = data.indexOf(iac, from)) {
        out.append(data.constData() + from, at + 1 - from);
        out.append(iac);
    }
    out.append(data.constData() + from, data.size() - from);
    return out;
}

QByteArray ComPortProtocol::answer(Request::Kind kind, quint32 valueInEffect)
{
    return serverCommand(commandOf(kind), valueOf(kind, valueInEffect));
}

QByteArray ComPortProtocol::request(Request::Kind kind, quint32 value)
{
    return subnegotiate(commandOf(kind), valueOf(kind, value));
}

QByteArray ComPortProtocol::signature(const QByteArray &text)
{
    return serverCommand(Signature, text);
}

QByteArray ComPortProtocol::notifyLineState(quint8 state)
{
    return serverCommand(NotifyLineState, QByteArray(1, char(state)));
}

QByteArray ComPortProtocol::notifyModemState(quint8 state)
{
    return serverCommand(NotifyModemState, QByteArray(1, char(state)));
}

quint8 ComPortProtocol::modemStateWithDeltas(quint8 before, quint8 now)
{
    const quint8 lines = now & 0xf0;
    const quint8 changed = (before ^ now) & 0xf0;
    quint8 deltas = 0;
    if (changed & 0x10)
        deltas |= 0x01; // CTS
    if (changed & 0x20)
        deltas |= 0x02; // DSR
    if ((before & 0x40) && !(now & 0x40))
        deltas |= 0x04; // RI went off
    if (changed & 0x80)
        deltas |= 0x08; // DCD
    return lines | deltas;
}
