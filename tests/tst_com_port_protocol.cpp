// The Telnet / COM-PORT-OPTION server and client sides, bytes in and bytes out.
#include "engine/com_port_protocol.h"

#include <QtTest>

using Protocol = ComPortProtocol;
using Request = ComPortProtocol::Request;
using Kind = ComPortProtocol::Request::Kind;
Q_DECLARE_METATYPE(Request)

namespace {

// Bytes written in hex, blanks ignored: h("fffd 00") is IAC DO BINARY.
QByteArray h(const char *hex)
{
    return QByteArray::fromHex(hex);
}

// IAC SB COM-PORT-OPTION <code> <value as given> IAC SE
QByteArray sub(int code, const QByteArray &value)
{
    return h("fffa2c") + char(code) + value + h("fff0");
}

struct Result { QByteArray data; QList<Request> requests; QByteArray replies; };

// Feeds `stream` to a fresh session in the pieces that `cuts` (ascending
// positions) make; `greet` sends the greeting first.
Result feed(const QByteArray &stream, const QList<qsizetype> &cuts = {}, bool greet = false)
{
    Protocol protocol;
    Result r;
    if (greet)
        (void)protocol.greeting();
    qsizetype from = 0;
    for (qsizetype to : cuts + QList<qsizetype> {stream.size()}) {
        r.data += protocol.fromPeer(stream.mid(from, to - from), &r.requests);
        r.replies += protocol.takeReplies();
        from = to;
    }
    return r;
}

} // namespace

class TestComPortProtocol : public QObject
{
    Q_OBJECT

private slots:
    void dataBothWays_data()
    {
        QTest::addColumn<int>("chunk");
        for (int chunk : {1, 2, 3, 7, 1 << 20})
            QTest::addRow("pieces of %d", chunk) << chunk;
    }

    // Every byte value and 0xFF runs of 1..5, through toPeer and back.
    void dataBothWays()
    {
        QFETCH(int, chunk);
        QByteArray data;
        for (int v = 0; v < 256; ++v)
            data.append(char(v));
        for (int run = 1; run <= 5; ++run)
            data += QByteArray(run, '\xff') + char(run);
        const QByteArray wire = Protocol::toPeer(data);
        QCOMPARE(wire.size(), data.size() + data.count('\xff'));
        QList<qsizetype> cuts;
        for (qsizetype at = chunk; at < wire.size(); at += chunk)
            cuts.append(at);
        const Result r = feed(wire, cuts);
        QCOMPARE(r.data, data);
        QVERIFY(r.requests.isEmpty() && r.replies.isEmpty());
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<Request>>("requests");
        QTest::addColumn<int>("broken"); // log lines of broken subnegotiations
        auto one = [](Kind kind, quint32 value) { return QList<Request> {{kind, value, {}}}; };
        QTest::newRow("baud 115200") << sub(1, h("0001c200")) << one(Kind::SetBaudRate, 115200) << 0;
        QTest::newRow("baud, IAC in it") << sub(1, h("ffff00ffff01")) << one(Kind::SetBaudRate, 0xff00ff01) << 0;
        QTest::newRow("data size") << sub(2, h("07")) << one(Kind::SetDataSize, 7) << 0;
        QTest::newRow("suspend, resume") << sub(8, {}) + sub(9, {})
                                         << one(Kind::FlowControlSuspend, 0) + one(Kind::FlowControlResume, 0) << 0;
        // Malformed or not for us: dropped, the data around them untouched.
        QTest::newRow("short baud, long size") << sub(1, h("01c200")) + sub(2, h("0707")) << QList<Request>() << 0;
        QTest::newRow("client NOTIFY, unknown code, other option, empty")
            << sub(6, h("01")) + sub(42, h("01")) + h("fffa1801fff0 fffafff0") << QList<Request>() << 0;
        QTest::newRow("over the bound") << sub(0, QByteArray(Protocol::MaxSubnegotiation, 's')) << QList<Request>() << 0;
        // Broken by an IAC not doubled: nothing up to its IAC SE reaches the
        // device (an IAC IAC SE in it is no end), or up to the bound.
        const QByteArray broken = h("fffa2c010000 fffb03") + "hid" + h("fffff0") + "den" + h("fff0");
        QTest::newRow("broken, closed later") << broken << QList<Request>() << 1;
        QTest::newRow("broken twice") << broken + broken << QList<Request>() << 2;
        QTest::newRow("broken, never closed")
            << h("fffa2c01 ff01") + QByteArray(Protocol::MaxBrokenDiscard - 2, 'x') + h("ffff")
            << QList<Request>() << 1;
    }

    void requests()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, broken);
        const QRegularExpression brokenLine(QStringLiteral("broke a subnegotiation"));
        for (int i = 0; i < broken; ++i)
            QTest::ignoreMessage(QtWarningMsg, brokenLine);
        QTest::failOnWarning(brokenLine);
        const Result r = feed("<" + input + ">" + sub(2, h("08")));
        QCOMPARE(r.data, QByteArray("<>"));
        QTEST(r.requests.mid(0, r.requests.size() - 1), "requests");
        QCOMPARE(r.requests.last(), (Request {Kind::SetDataSize, 8, {}})); // nothing stalled
    }

    void roundTrip_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<quint32>("value");
        QTest::newRow("baud, IAC in it") << int(Kind::SetBaudRate) << quint32(0xff00ff01);
        QTest::newRow("parity even") << int(Kind::SetParity) << quint32(Protocol::ParityEven);
        QTest::newRow("stop bits 2") << int(Kind::SetStopSize) << quint32(Protocol::StopTwo);
        QTest::newRow("break on") << int(Kind::SetControl) << quint32(Protocol::BreakOn);
    }

    // What a client asks a server reads, what a server answers a client
    // reads; neither reads the codes of its own side.
    void roundTrip()
    {
        QFETCH(int, kind);
        QFETCH(quint32, value);
        const Request sent {Kind(kind), value, {}};
        Protocol server, client(Protocol::Role::Client);
        QList<Request> got;
        QCOMPARE(server.fromPeer(Protocol::request(sent.kind, value), &got), QByteArray());
        QCOMPARE(client.fromPeer(Protocol::answer(sent.kind, value), &got), QByteArray());
        QCOMPARE(server.fromPeer(Protocol::answer(sent.kind, value), &got), QByteArray());
        QCOMPARE(client.fromPeer(Protocol::request(sent.kind, value), &got), QByteArray());
        QCOMPARE(got, (QList<Request> {sent, sent}));
    }

    // A client offers BINARY both ways and only to use COM-PORT-OPTION; the
    // server's offers then get one answer, and its notices are read.
    void clientSession()
    {
        Protocol server, client(Protocol::Role::Client);
        QCOMPARE(client.greeting(), h("fffb00 fffd00 fffb2c"));
        QList<Request> got;
        QCOMPARE(client.fromPeer(server.greeting() + "d" + Protocol::notifyModemState(0x30), &got), QByteArray("d"));
        QCOMPARE(client.takeReplies(), h("fffd2c"));
        QCOMPARE(got, (QList<Request> {{Kind::NotifyModemState, 0x30, {}}}));
    }
};

QTEST_GUILESS_MAIN(TestComPortProtocol)
#include "tst_com_port_protocol.moc"
