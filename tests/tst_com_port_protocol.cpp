// The Telnet / COM-PORT-OPTION server side, bytes in and bytes out.
#include "relay/com_port_protocol.h"

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

    // Data, negotiation, an IAC inside a baud value, commands for nobody: the
    // same outcome however the stream is cut in three.
    void splitAtEveryPosition()
    {
        const QByteArray stream = "ab" + h("ffff fffd00 fff1") + "c" + sub(1, h("0001ffff00"))
            + h("fffb03 fff6") + "d\xff\xff" + sub(0, "sig\xff\xff") + "e";
        const QList<Request> requests {{Kind::SetBaudRate, 0x1ff00, {}}, {Kind::Signature, 0, "sig\xff"}};
        for (qsizetype a = 0; a <= stream.size(); ++a) {
            for (qsizetype b = a; b <= stream.size(); b += 5) {
                const Result r = feed(stream, {a, b});
                QVERIFY2(r.data == "ab\xff" "cd\xff" "e" && r.requests == requests && r.replies == h("fffb00 fffe03"),
                         qPrintable(QStringLiteral("cut at %1 and %2").arg(a).arg(b)));
            }
        }
    }

    void negotiation_data()
    {
        QTest::addColumn<bool>("greet");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("replies");
        QTest::newRow("DO BINARY") << false << h("fffd00") << h("fffb00");
        QTest::newRow("WILL COM-PORT") << false << h("fffb2c") << h("fffd2c");
        QTest::newRow("asked twice, agreed once") << false << h("fffd2c fffd2c") << h("fffb2c");
        QTest::newRow("DO ECHO, WILL SGA refused") << false << h("fffd01 fffb03") << h("fffc01 fffe03");
        QTest::newRow("off already: no answer") << false << h("fffc03 fffe18 fffe00") << QByteArray();
        QTest::newRow("answers to the offers") << true << h("fffd00 fffb00 fffd2c fffb2c") << QByteArray();
        QTest::newRow("offer refused, asked later") << true << h("fffe2c fffd2c") << h("fffb2c");
        QTest::newRow("on, then off") << false << h("fffb00 fffc00 fffc00") << h("fffd00 fffe00");
    }

    void negotiation()
    {
        QFETCH(bool, greet);
        QFETCH(QByteArray, input);
        const Result r = feed(input + "x", {}, greet);
        QTEST(r.replies, "replies");
        QCOMPARE(r.data, QByteArray("x"));
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<Request>>("requests");
        auto one = [](Kind kind, quint32 value) { return QList<Request> {{kind, value, {}}}; };
        QTest::newRow("baud 115200") << sub(1, h("0001c200")) << one(Kind::SetBaudRate, 115200);
        QTest::newRow("baud, IAC in it") << sub(1, h("ffff00ffff01")) << one(Kind::SetBaudRate, 0xff00ff01);
        QTest::newRow("data size") << sub(2, h("07")) << one(Kind::SetDataSize, 7);
        QTest::newRow("parity") << sub(3, h("03")) << one(Kind::SetParity, Protocol::ParityEven);
        QTest::newRow("stop size") << sub(4, h("03")) << one(Kind::SetStopSize, Protocol::StopOneAndHalf);
        QTest::newRow("control") << sub(5, h("08")) << one(Kind::SetControl, Protocol::DtrOn);
        QTest::newRow("line mask") << sub(10, h("ffff")) << one(Kind::SetLineStateMask, 255);
        QTest::newRow("modem mask") << sub(11, h("f0")) << one(Kind::SetModemStateMask, 0xf0);
        QTest::newRow("purge") << sub(12, h("03")) << one(Kind::PurgeData, Protocol::PurgeBoth);
        QTest::newRow("suspend, resume") << sub(8, {}) + sub(9, {})
                                         << one(Kind::FlowControlSuspend, 0) + one(Kind::FlowControlResume, 0);
        QTest::newRow("signature asked") << sub(0, {}) << one(Kind::Signature, 0);
        // Malformed or not for us: dropped, the data around them untouched.
        QTest::newRow("short baud, long size") << sub(1, h("01c200")) + sub(2, h("0707")) << QList<Request>();
        QTest::newRow("client NOTIFY, unknown code, other option, empty")
            << sub(6, h("01")) + sub(42, h("01")) + h("fffa1801fff0 fffafff0") << QList<Request>();
        QTest::newRow("over the bound") << sub(0, QByteArray(Protocol::MaxSubnegotiation, 's')) << QList<Request>();
        QTest::newRow("never closed") << h("fffa2c010000 fffb03") << QList<Request>();
    }

    void requests()
    {
        QFETCH(QByteArray, input);
        const Result r = feed("<" + input + ">" + sub(2, h("08")));
        QCOMPARE(r.data, QByteArray("<>"));
        QTEST(r.requests.mid(0, r.requests.size() - 1), "requests");
        QCOMPARE(r.requests.last(), (Request {Kind::SetDataSize, 8, {}})); // nothing stalled
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("greeting") << Protocol().greeting() << h("fffb00 fffd00 fffb2c fffd2c");
        QTest::newRow("baud 57600") << Protocol::answer(Kind::SetBaudRate, 57600) << h("fffa2c65 0000e100 fff0");
        QTest::newRow("baud, IAC in it") << Protocol::answer(Kind::SetBaudRate, 0xffff) << h("fffa2c65 0000ffffffff fff0");
        QTest::newRow("DTR off") << Protocol::answer(Kind::SetControl, Protocol::DtrOff) << h("fffa2c69 09 fff0");
        QTest::newRow("line mask") << Protocol::answer(Kind::SetLineStateMask, 255) << h("fffa2c6e ffff fff0");
        QTest::newRow("suspend") << Protocol::answer(Kind::FlowControlSuspend, 0) << h("fffa2c6c fff0");
        QTest::newRow("signature") << Protocol::signature("Quaylight 0.2") << h("fffa2c64") + "Quaylight 0.2" + h("fff0");
        QTest::newRow("line state") << Protocol::notifyLineState(0x60) << h("fffa2c6a 60 fff0");
        QTest::newRow("modem state") << Protocol::notifyModemState(0xff) << h("fffa2c6b ffff fff0");
        QTest::newRow("deltas") << QByteArray(1, char(Protocol::modemStateWithDeltas(0x30, 0x90)))
                                       + char(Protocol::modemStateWithDeltas(0x40, 0))
                                       + char(Protocol::modemStateWithDeltas(0, 0x40))
                                << h("9a 04 40");
    }

    void answers()
    {
        QFETCH(QByteArray, encoded);
        QTEST(encoded, "expected");
    }
};

QTEST_GUILESS_MAIN(TestComPortProtocol)
#include "tst_com_port_protocol.moc"
