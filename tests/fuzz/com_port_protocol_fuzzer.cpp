// The COM-PORT-OPTION session on any bytes, cut at points the input chooses:
// it never crashes, every reply and answer is well-formed Telnet, and the
// data equals a plain reading of the whole stream, each byte exactly once.

#include "relay/com_port_protocol.h"

#include <cstdlib>

namespace {

using Protocol = ComPortProtocol;
constexpr quint8 Iac = 255, Sb = 250, Se = 240, Will = 251, Dont = 254;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The data bytes of a whole stream, read front to back: IAC IAC is one 0xFF;
// IAC WILL/WONT/DO/DONT takes one more byte; IAC SB runs to IAC SE, and an
// IAC followed by anything else inside ends it there, that IAC starting the
// next command; IAC and any other byte is a command of two bytes. Counts the
// negotiation commands too.
QByteArray reference(const QByteArray &s, int *negotiations)
{
    QByteArray out;
    const qsizetype n = s.size();
    auto at = [&](qsizetype i) { return quint8(s.at(i)); };
    qsizetype i = 0;
    while (i < n) {
        if (at(i) != Iac) {
            out.append(s.at(i++));
            continue;
        }
        if (i + 1 >= n)
            break;
        const quint8 c = at(i + 1);
        if (c == Iac) {
            out.append(char(Iac));
            i += 2;
        } else if (c >= Will && c <= Dont) {
            ++*negotiations;
            i += 3;
        } else if (c == Sb) {
            i += 2;
            while (i < n) {
                if (at(i) != Iac) {
                    ++i;
                } else if (i + 1 < n && at(i + 1) == Iac) {
                    i += 2;
                } else if (i + 1 < n && at(i + 1) == Se) {
                    i += 2;
                    break;
                } else {
                    break; // IAC <other> (or IAC at the very end): a command follows
                }
            }
        } else {
            i += 2;
        }
    }
    return out;
}

// Negotiation answers only: IAC, a verb, an option; never anything else.
bool negotiationOnly(const QByteArray &replies)
{
    if (replies.size() % 3 != 0)
        return false;
    for (qsizetype i = 0; i < replies.size(); i += 3) {
        if (quint8(replies.at(i)) != Iac || quint8(replies.at(i + 1)) < Will || quint8(replies.at(i + 1)) > Dont)
            return false;
    }
    return true;
}

// One server subnegotiation: IAC SB COM-PORT-OPTION <code 100..112> <value,
// IAC doubled> IAC SE, the value `width` bytes long once read (-1: any).
bool oneAnswer(const QByteArray &a, int width)
{
    if (a.size() < 6 || quint8(a.at(0)) != Iac || quint8(a.at(1)) != Sb || quint8(a.at(2)) != 44
        || quint8(a.at(3)) < 100 || quint8(a.at(3)) > 112 || quint8(a.at(a.size() - 2)) != Iac
        || quint8(a.at(a.size() - 1)) != Se)
        return false;
    int value = 0;
    for (qsizetype i = 4; i < a.size() - 2; ++i, ++value) {
        if (quint8(a.at(i)) == Iac && (i + 1 >= a.size() - 2 || quint8(a.at(++i)) != Iac))
            return false;
    }
    return width < 0 || value == width;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    // The first four bytes choose the piece lengths (cycled) and whether the
    // greeting goes first; the rest is the stream.
    const quint8 *cut = data;
    const QByteArray stream(reinterpret_cast<const char *>(data + 4), qsizetype(size - 4));

    Protocol protocol;
    QByteArray replies = (cut[0] & 0x80) ? protocol.greeting() : QByteArray();
    QByteArray got;
    QList<Protocol::Request> requests;
    for (qsizetype from = 0, piece = 0; from < stream.size(); ++piece) {
        const qsizetype length = 1 + cut[piece % 4] % 64;
        got += protocol.fromPeer(stream.mid(from, length), &requests);
        replies += protocol.takeReplies();
        from += length;
    }

    int negotiations = 0;
    check(got == reference(stream, &negotiations));
    check(negotiationOnly(replies));
    check(replies.size() / 3 <= negotiations + ((cut[0] & 0x80) ? 4 : 0));

    using Kind = Protocol::Request::Kind;
    for (const Protocol::Request &r : requests) {
        const bool wide = r.kind == Kind::SetBaudRate;
        const bool none = r.kind == Kind::FlowControlSuspend || r.kind == Kind::FlowControlResume
            || r.kind == Kind::Signature;
        check(wide || r.value <= 255);
        check(r.kind == Kind::Signature ? r.text.size() <= Protocol::MaxSubnegotiation : r.text.isEmpty());
        check(oneAnswer(Protocol::answer(r.kind, r.value ^ 0xff), wide ? 4 : none ? 0 : 1));
        check(oneAnswer(Protocol::signature(r.text), int(r.text.size())));
    }
    check(oneAnswer(Protocol::notifyLineState(cut[1]), 1) && oneAnswer(Protocol::notifyModemState(cut[2]), 1));

    // Device data goes out and comes back unchanged.
    Protocol back;
    QList<Protocol::Request> none;
    check(back.fromPeer(Protocol::toPeer(stream), &none) == stream && none.isEmpty() && back.takeReplies().isEmpty());
    return 0;
}
