#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// One side of one Telnet session that carries the COM-PORT-OPTION (RFC 854,
// 855, 856, 2217), as bytes in and bytes out: no socket, no serial port, no
// timer. The server side (the hub) is fed what the peer sent and gets back
// the data for the device, the peer's port requests, and the negotiation
// answers to send; it encodes what the relay sends to the peer. The client
// side (the link) gets the data from the device, the server's answers and
// notices, and encodes the port requests it sends.
//
// Negotiation: BINARY and COM-PORT-OPTION are accepted both ways, every other
// option is refused once per request (RFC 1143's rule: a request that matches
// the state in effect is not answered, so two sides can never loop). Data
// bytes pass unchanged, whether BINARY is on or not: only IAC is doubled.
// Telnet commands other than negotiation and subnegotiation (NOP, AYT, BRK,
// ...) and malformed or unknown subnegotiations are dropped; they never
// reach the data. A subnegotiation longer than MaxSubnegotiation bytes is
// read to its end and dropped, so no buffer here grows beyond that. One
// broken by an IAC not doubled (IAC followed by anything but IAC or SE) is
// discarded up to the next IAC SE, or for at most MaxBrokenDiscard bytes
// after the break, and logged once: nothing of a broken command reaches the
// device.
//
// Every answer here is 3 bytes for a request of at least 3, so the answers
// waiting in takeReplies() never outgrow what the peer sent.
class ComPortProtocol
{
public:
    // Which end of the session this is.
    enum class Role : quint8 { Server, Client };

    explicit ComPortProtocol(Role role = Role::Server) : m_role(role) { }

    // A port request of the peer (client codes of RFC 2217); on the client
    // side, a server's answer (the value in effect) or notice (server codes).
    struct Request {
        enum class Kind {
            SetBaudRate,       // value: bit/s, 0 asks for the speed in effect
            SetDataSize,       // value: 5..8, 0 asks
            SetParity,         // value: Parity
            SetStopSize,       // value: StopSize
            SetControl,        // value: Control
            SetLineStateMask,  // value: the NOTIFY-LINESTATE bits wanted
            SetModemStateMask, // value: the NOTIFY-MODEMSTATE bits wanted
            PurgeData,         // value: Purge
            FlowControlSuspend, // stop sending to the peer until resumed
            FlowControlResume,
            Signature,         // text: the peer's signature; empty asks for ours
            // From a server only (client side): the line and modem state bits.
            NotifyLineState,
            NotifyModemState,
        };
        Kind kind;
        quint32 value = 0;
        QByteArray text;

        friend bool operator==(const Request &, const Request &) = default;
    };

    // SET-PARITY values.
    enum Parity : quint8 { ParityQuery, ParityNone, ParityOdd, ParityEven, ParityMark, ParitySpace };
    // SET-STOPSIZE values.
    enum StopSize : quint8 { StopQuery, StopOne, StopTwo, StopOneAndHalf };
    // SET-CONTROL values: a query is answered with one of the values of its
    // group that is in effect (FlowQuery with FlowNone, FlowXonXoff or
    // FlowHardware; DtrQuery with DtrOn or DtrOff; ...).
    enum Control : quint8 {
        FlowQuery, FlowNone, FlowXonXoff, FlowHardware,
        BreakQuery, BreakOn, BreakOff,
        DtrQuery, DtrOn, DtrOff,
        RtsQuery, RtsOn, RtsOff,
        InboundFlowQuery, InboundFlowNone, InboundFlowXonXoff, InboundFlowHardware,
        FlowDcd, FlowDtr, FlowDsr,
    };
    // PURGE-DATA values: the hub's buffer of bytes from the device, of bytes
    // to it, or both.
    enum Purge : quint8 { PurgeReceive = 1, PurgeTransmit = 2, PurgeBoth = 3 };

    // The masks in effect until the peer sets them (RFC 2217): every modem
    // line change is notified, no line state is.
    static constexpr quint8 DefaultModemStateMask = 255, DefaultLineStateMask = 0;

    // Telnet bytes the encoders and tests use.
    static constexpr quint8 Iac = 255, Dont = 254, Do = 253, Wont = 252, Will = 251, Sb = 250,
                            Se = 240;
    static constexpr quint8 OptionBinary = 0, OptionComPort = 44;

    // Longest subnegotiation kept, option and command bytes included.
    static constexpr int MaxSubnegotiation = 256;
    // Bytes discarded after the break of a broken subnegotiation at most,
    // when no IAC SE ends it sooner: a peer that lost track of its framing
    // gets its data through again after that.
    static constexpr int MaxBrokenDiscard = 1024;

    // The opening offers, to send once on connect: the server's WILL and DO
    // for BINARY and COM-PORT-OPTION; the client's WILL and DO for BINARY and
    // WILL COM-PORT-OPTION (a server that also offers WILL is agreed to). The
    // peer's answers to them are not answered again.
    [[nodiscard]] QByteArray greeting();

    // Takes bytes from the peer, split anywhere. Returns the data bytes for
    // the device in order, each exactly once (IAC IAC read as one 0xFF);
    // appends the requests decoded to `requests` (may be null: dropped) and
    // the negotiation answers to what takeReplies() returns. A command cut
    // at the end of `bytes` is completed by the next call.
    [[nodiscard]] QByteArray fromPeer(const QByteArray &bytes, QList<Request> *requests);

    // The negotiation answers waiting for the peer, in order; empties them.
    [[nodiscard]] QByteArray takeReplies();

    // Device data for the peer: every IAC doubled.
    [[nodiscard]] static QByteArray toPeer(const QByteArray &data);

    // The server's answer to a request (code + 100), carrying the value in
    // effect: 4 bytes for the baud rate, none for FlowControlSuspend and
    // FlowControlResume (the server's own request to the peer to stop or go
    // on sending), one byte (the low 8 bits) for the others. Signature
    // encodes an empty text (asks for the peer's); use signature() for ours.
    [[nodiscard]] static QByteArray answer(Request::Kind kind, quint32 valueInEffect);
    // A client's request, encoded as answer() encodes the server's (a value
    // of 0 asks for the one in effect, except for SetControl and the masks).
    [[nodiscard]] static QByteArray request(Request::Kind kind, quint32 value);
    // SIGNATURE with `text`, e.g. "Quaylight 0.2.0".
    [[nodiscard]] static QByteArray signature(const QByteArray &text);
    // NOTIFY-LINESTATE and NOTIFY-MODEMSTATE with the state bits.
    [[nodiscard]] static QByteArray notifyLineState(quint8 state);
    [[nodiscard]] static QByteArray notifyModemState(quint8 state);

    // The modem state to notify: the lines `now` (CTS 0x10, DSR 0x20, RI
    // 0x40, DCD 0x80) with the delta bits set from `before` (delta CTS 0x01,
    // delta DSR 0x02, trailing edge of RI 0x04, delta DCD 0x08).
    [[nodiscard]] static quint8 modemStateWithDeltas(quint8 before, quint8 now);

private:
    enum class State : quint8 { Data, Iac, Option, Sub, SubIac, Broken, BrokenIac };
    // One side of one option, after RFC 1143 (without its queue: this side
    // never changes its mind).
    enum class Side : quint8 { No, Yes, WantYes };
    struct OptionState {
        Side us = Side::No;  // we WILL
        Side him = Side::No; // the peer WILL
    };

    [[nodiscard]] OptionState *optionState(quint8 option);
    void negotiate(quint8 verb, quint8 option);
    void subnegotiation(QList<Request> *requests) const;
    void reply(quint8 verb, quint8 option);

    Role m_role;
    State m_state = State::Data;
    quint8 m_verb = 0;
    QByteArray m_sub;            // the subnegotiation being read, after IAC SB
    bool m_subOverflow = false;  // it went past MaxSubnegotiation: dropped at its end
    int m_discarded = 0;         // bytes of a broken subnegotiation discarded so far
    OptionState m_binary;
    OptionState m_comPort;
    QByteArray m_replies;
};
