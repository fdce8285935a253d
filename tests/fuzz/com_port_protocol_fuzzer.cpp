// The COM-PORT-OPTION session on any bytes, cut at points the input chooses:
// it never crashes, it answers only with negotiation commands, and the data
// equals a plain reading of the whole stream, each byte exactly once. What
// the hub owes a peer that never reads grows no faster than what it sent: no
// more answers wait than it sent bytes, and each request costs it at least the
// 6 bytes of IAC SB COM-PORT-OPTION <code> IAC SE.

#include "engine/com_port_protocol.h"

#include <QLoggingCategory>

#include <cstdlib>

namespace {

constexpr quint8 Iac = 255, Sb = 250, Se = 240, Will = 251, Dont = 254;

// The data bytes of a whole stream, read front to back: IAC IAC is one 0xFF;
// IAC WILL..DONT takes one more byte; IAC SB runs to IAC SE; an IAC followed
// by anything else inside it breaks it, and what follows is discarded in
// pairs after each IAC up to an IAC SE, or once MaxBrokenDiscard bytes are
// gone between pairs; IAC and any other byte is a command of two bytes.
QByteArray reference(const QByteArray &s)
{
    QByteArray out;
    const auto at = [&](qsizetype i) { return i < s.size() ? quint8(s.at(i)) : 0; };
    for (qsizetype i = 0; i < s.size();) {
        const quint8 c = at(i + 1);
        if (at(i) != Iac || i + 1 >= s.size()) {
            if (at(i) != Iac)
                out.append(s.at(i));
            ++i;
        } else if (c == Iac || c < Will || c > Dont) {
            if (c == Iac)
                out.append(char(Iac));
            i += 2;
            bool broken = false;
            for (bool sub = c == Sb; sub && i < s.size();) {
                const quint8 b = at(i++);
                if (b == Iac && i < s.size()) {
                    const quint8 next = at(i++);
                    sub = next == Iac;
                    broken = next != Iac && next != Se;
                }
            }
            for (int gone = 0; broken && i < s.size();) {
                const bool pair = at(i) == Iac;
                const bool end = pair && i + 1 < s.size() && at(i + 1) == Se;
                i += pair ? 2 : 1;
                gone += pair ? 2 : 1;
                broken = !end && gone < ComPortProtocol::MaxBrokenDiscard;
            }
        } else {
            i += 3;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    // A broken subnegotiation is logged; thousands of runs need no log.
    [[maybe_unused]] static const bool quiet =
        (QLoggingCategory::setFilterRules(QStringLiteral("quaylight.*=false")), true);
    // The first four bytes choose the piece lengths (cycled), whether the
    // greeting goes first and whether the peer reads the answers; the rest
    // is the stream.
    const QByteArray stream(reinterpret_cast<const char *>(data + 4), qsizetype(size - 4));
    const bool deaf = data[1] & 0x80;
    ComPortProtocol protocol;
    QByteArray replies = (data[0] & 0x80) ? protocol.greeting() : QByteArray();
    QByteArray got;
    QList<ComPortProtocol::Request> requests;
    for (qsizetype from = 0, piece = 0; from < stream.size(); ++piece) {
        const qsizetype length = 1 + data[piece % 4] % 64;
        got += protocol.fromPeer(stream.mid(from, length), &requests);
        from += length;
        if (!deaf)
            replies += protocol.takeReplies();
    }
    replies += protocol.takeReplies();
    const qsizetype greeting = (data[0] & 0x80) ? 12 : 0;
    if (got != reference(stream) || replies.size() % 3 != 0 || replies.size() > greeting + stream.size()
        || requests.size() * 6 > stream.size())
        std::abort();
    for (qsizetype i = 0; i < replies.size(); i += 3) {
        if (quint8(replies.at(i)) != Iac || quint8(replies.at(i + 1)) < Will || quint8(replies.at(i + 1)) > Dont)
            std::abort();
    }
    // Device data goes out and comes back unchanged.
    ComPortProtocol back;
    QList<ComPortProtocol::Request> none;
    if (back.fromPeer(ComPortProtocol::toPeer(stream), &none) != stream || !none.isEmpty())
        std::abort();
    return 0;
}
