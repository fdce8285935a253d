#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/flow_control.h"
#include "support/loopback.h"
#include "support/process_stats.h"
#include "support/pty_device.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"
#include "support/wait_until.h"

#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {

// A long random stream made block by block, so neither end has to hold it:
// the sender makes the next block when it needs it, the receiver checks
// what arrives against the same blocks.
class Stream
{
public:
    static constexpr qsizetype BlockSize = 64 * 1024;

    static QByteArray block(qint64 index)
    {
        QByteArray bytes(BlockSize, Qt::Uninitialized);
        QRandomGenerator(quint32(index) * 2654435761U + 1).fillRange(
            reinterpret_cast<quint32 *>(bytes.data()), BlockSize / 4);
        return bytes;
    }
};

// Feeds a QTcpSocket with `total` bytes of the stream, never holding more
// than a few blocks in its send buffer.
class Feeder : public QObject
{
public:
    Feeder(QTcpSocket &socket, qint64 total) : m_socket(socket), m_total(total)
    {
        connect(&socket, &QTcpSocket::bytesWritten, this, &Feeder::feed);
    }
    void feed()
    {
        while (m_sent < m_total && m_socket.bytesToWrite() < 4 * Stream::BlockSize) {
            m_socket.write(Stream::block(m_sent / Stream::BlockSize));
            m_sent += Stream::BlockSize;
        }
    }
    [[nodiscard]] qint64 sent() const { return m_sent; }

private:
    QTcpSocket &m_socket;
    qint64 m_total;
    qint64 m_sent = 0;
};

// Checks arriving bytes against the stream, in order; keeps no history.
class Checker
{
public:
    void check(const QByteArray &bytes)
    {
        qsizetype at = 0;
        while (at < bytes.size() && m_ok) {
            if (m_offsetInBlock == 0 || m_block.isEmpty())
                m_block = Stream::block(m_received / Stream::BlockSize);
            const qsizetype n = qMin(bytes.size() - at, Stream::BlockSize - m_offsetInBlock);
            if (memcmp(bytes.constData() + at, m_block.constData() + m_offsetInBlock, size_t(n)) != 0)
                m_ok = false;
            at += n;
            m_received += n;
            m_offsetInBlock = (m_offsetInBlock + n) % Stream::BlockSize;
        }
    }
    [[nodiscard]] qint64 received() const { return m_received; }
    [[nodiscard]] bool intact() const { return m_ok; }

private:
    QByteArray m_block;
    qint64 m_received = 0;
    qsizetype m_offsetInBlock = 0;
    bool m_ok = true;
};

} // namespace

// A slow or stuck destination holds its sources back instead of making the
// hub buffer without limit; one that takes nothing at all is dropped.
class BackPressureTest : public QObject
{
    Q_OBJECT

private slots:
    void stalledSerialHoldsTheTcpSender();
    void deadTcpReceiverIsDroppedOthersGoOn();
};

void BackPressureTest::stalledSerialHoldsTheTcpSender()
{
    TestConfig config;
    PtyDevice device;
    QVERIFY(device.isValid());
    config.pinPorts({{3, device.slavePath()}});
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    form.Timer1->stop();
    form.Com1->setCommPort(3);
    form.Com1->setPortOpen(true);
    form.Text4[0]->setText(QString::number(freeLoopbackPort()));
    form.Command5_Click(0);
    form.Timer1->stop();

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(form.Winsock1[2]->LocalPort()));
    QVERIFY(waitUntil([&] { return form.Winsock1[2]->State() == Winsock::sckConnected; }));

    Checker checker;
    QObject::connect(&device, &PtyDevice::bytesReceived, &device,
                     [&] { checker.check(device.takeReceived()); });
    device.setReading(false);
    const qint64 startKiB = statusKiB("VmRSS:");
    resetPeakResident();

    const qint64 total = 256LL * 1024 * 1024;
    Feeder feeder(peer, total);
    feeder.feed();

    // The device takes nothing: the hub pauses the peer's endpoint and TCP
    // holds the sender, whose own buffer then stays full.
    QVERIFY(waitUntil([&] { return form.Winsock1[2]->ReceivePaused(); }, 10000));
    QVERIFY(form.flowControl().serialCongested());
    const qint64 sentWhileStalled = feeder.sent();
    QVERIFY(!waitUntil([&] { return feeder.sent() > sentWhileStalled + 16 * 1024 * 1024; }, 500));
    QVERIFY(feeder.sent() < total);
    QVERIFY(form.Com1->OutBufferCount() <= form.flowControl().limits().serialHigh
                                               + Winsock::ReadBufferLimit);

    // The device reads again: every byte arrives, in order.
    device.setReading(true);
    QVERIFY2(waitUntil([&] { return checker.received() >= total || !checker.intact(); }, 120000),
             qPrintable(QStringLiteral("%1 of %2 bytes arrived").arg(checker.received()).arg(total)));
    QVERIFY(checker.intact());
    QCOMPARE(checker.received(), total);
    QVERIFY(!form.Winsock1[2]->ReceivePaused());
    if (RssIsMeaningful) {
        const qint64 grownKiB = statusKiB("VmHWM:") - startKiB;
        QVERIFY2(grownKiB < 16 * 1024, qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(grownKiB)));
    }
}

void BackPressureTest::deadTcpReceiverIsDroppedOthersGoOn()
{
    TestConfig config;
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    form.Timer1->stop();
    FlowControl::Limits limits = form.flowControl().limits();
    limits.stallMs = 1000; // the real limit is 30 s; the rule is the same
    form.flowControl().setLimits(limits);

    // Forwarder 1's server accepts and never reads; forwarder 3's reads all.
    QTcpServer deaf;
    QTcpServer reader;
    QVERIFY(deaf.listen(QHostAddress::LocalHost, 0));
    QVERIFY(reader.listen(QHostAddress::LocalHost, 0));
    const std::pair<int, QTcpServer *> upstreams[] = {{1, &deaf}, {3, &reader}};
    std::array<QTcpSocket *, 4> far {};
    for (const auto &[index, server] : upstreams) {
        form.Winsock1[size_t(index)]->setRemoteHost(QStringLiteral("127.0.0.1"));
        form.Winsock1[size_t(index)]->setRemotePort(server->serverPort());
        form.Winsock1[size_t(index)]->Connect();
        QVERIFY(server->waitForNewConnection(5000));
        far[size_t(index)] = server->nextPendingConnection();
    }
    far[1]->setReadBufferSize(1); // takes one byte, then nothing more
    Checker checker;
    QObject::connect(far[3], &QTcpSocket::readyRead, far[3], [&] { checker.check(far[3]->readAll()); });

    form.Winsock1[0]->setLocalPort(0);
    form.Winsock1[0]->Listen();
    QTcpSocket gateway;
    gateway.connectToHost(QHostAddress::LocalHost, quint16(form.Winsock1[0]->LocalPort()));
    for (int index : {0, 1, 3})
        QVERIFY(waitUntil([&] { return form.Winsock1[size_t(index)]->State() == Winsock::sckConnected; }));

    const qint64 startKiB = statusKiB("VmRSS:");
    resetPeakResident();
    const qint64 total = 64LL * 1024 * 1024;
    Feeder feeder(gateway, total);
    feeder.feed();

    // Forwarder 1 fills up and holds the gateway back, so 3 stops too...
    QVERIFY(waitUntil([&] { return form.flowControl().socketCongested(1); }, 10000));
    QVERIFY(form.Winsock1[0]->ReceivePaused());
    // ...until it has made no progress for the stall time and is dropped.
    QVERIFY(waitUntil([&] { return form.Winsock1[1]->State() == Winsock::sckClosed; }, 10000));
    QCOMPARE(UiColour::backColor(form.Text2[0]), UiColour::Red);

    // The others go on: forwarder 3 gets the whole stream, in order.
    QVERIFY2(waitUntil([&] { return checker.received() >= total || !checker.intact(); }, 60000),
             qPrintable(QStringLiteral("%1 of %2 bytes arrived").arg(checker.received()).arg(total)));
    QVERIFY(checker.intact());
    QCOMPARE(checker.received(), total);
    if (RssIsMeaningful) {
        const qint64 grownKiB = statusKiB("VmHWM:") - startKiB;
        QVERIFY2(grownKiB < 16 * 1024, qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(grownKiB)));
    }
}

QTEST_MAIN(BackPressureTest)
#include "tst_back_pressure.moc"
