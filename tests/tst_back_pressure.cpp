#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "engine/flow_control.h"
#include "relay/relay_core.h"
#include "support/hub.h"
#include "support/process_stats.h"
#include "support/wait_until.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A long random stream made block by block, so neither end has to hold it:
// the sender makes the next block when it needs it, the receiver checks
// what arrives against the same blocks.
constexpr qsizetype BlockSize = 64 * 1024;
QByteArray block(qint64 index)
{
    QByteArray bytes(BlockSize, Qt::Uninitialized);
    QRandomGenerator(quint32(index) * 2654435761U + 1).fillRange(reinterpret_cast<quint32 *>(bytes.data()), BlockSize / 4);
    return bytes;
}

// Feeds a QTcpSocket with `total` bytes of the stream, never holding more
// than a few blocks in its send buffer.
struct Feeder : QObject {
    Feeder(QTcpSocket &socket, qint64 total) : socket(socket), total(total)
    {
        connect(&socket, &QTcpSocket::bytesWritten, this, &Feeder::feed);
    }
    void feed()
    {
        for (; sent < total && socket.bytesToWrite() < 4 * BlockSize; sent += BlockSize)
            socket.write(block(sent / BlockSize));
    }
    QTcpSocket &socket;
    const qint64 total;
    qint64 sent = 0;
};

// Checks arriving bytes against the stream, in order; keeps no history.
struct Checker {
    void check(const QByteArray &bytes)
    {
        for (qsizetype at = 0, n = 0; at < bytes.size() && intact; at += n, received += n) {
            const qsizetype offset = received % BlockSize;
            if (offset == 0 || current.isEmpty())
                current = block(received / BlockSize);
            n = qMin(bytes.size() - at, BlockSize - offset);
            intact = memcmp(bytes.constData() + at, current.constData() + offset, size_t(n)) == 0;
        }
    }
    // Waits for `total` bytes; false at the first wrong one or at the timeout.
    bool arrives(qint64 total, int timeoutMs)
    {
        return waitUntil([&] { return received >= total || !intact; }, timeoutMs) && intact && received == total;
    }
    QByteArray current;
    qint64 received = 0;
    bool intact = true;
};

} // namespace

// A slow or stuck destination holds its sources back instead of making the
// hub buffer without limit; one that takes nothing at all is cut off; and
// nothing a peer sent is lost because the hub let its socket go.
class BackPressureTest : public QObject
{
    Q_OBJECT

private slots:
    void stalledSerialHoldsTheTcpSender();
    void deadReceiverIsResetOthersGoOn();
    void heldBytesRelayedBeforeTheSocketIsLetGo_data();
    void heldBytesRelayedBeforeTheSocketIsLetGo();
    void lineWithoutFlowControlIsReadOnSlowDestinationDropped();
    void slowPeerOfThreeDroppedOthersGetAll();
    void deafRfc2217PeerHoldsItselfAndIsReset_data();
    void deafRfc2217PeerHoldsItselfAndIsReset();
};

namespace {
// The resident size now, the peak forgotten: checkMemoryBound's start.
qint64 startMemoryWatch()
{
    resetPeakResident();
    return statusKiB("VmRSS:");
}
// Grows of the peak resident size since `startKiB`, when it means something.
void checkMemoryBound(qint64 startKiB)
{
    if (!RssIsMeaningful)
        return;
    const qint64 grownKiB = statusKiB("VmHWM:") - startKiB;
    QVERIFY2(grownKiB < 16 * 1024, qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(grownKiB)));
}
// `checker` sees what `peer` receives instead of the peer keeping it.
void checkArrivals(Peer &peer, Checker &checker)
{
    QObject::disconnect(peer.socket, nullptr, &peer, nullptr);
    QObject::connect(peer.socket, &QTcpSocket::readyRead, &peer,
                     [&] { checker.check(peer.socket->readAll()); });
}
} // namespace

void BackPressureTest::stalledSerialHoldsTheTcpSender()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    core.Timer1->stop();
    QVERIFY(hub.openSerial());
    auto peer = hub.connectToListener(2);
    QVERIFY(peer);
    core.Timer1->stop();

    Checker checker;
    QObject::connect(&hub.device, &PtyDevice::bytesReceived, &hub.device,
                     [&] { checker.check(hub.device.takeReceived()); });
    hub.device.setReading(false);
    const qint64 startKiB = startMemoryWatch();

    const qint64 total = 128LL * 1024 * 1024;
    Feeder feeder(*peer->socket, total);
    feeder.feed();

    // The device takes nothing: the hub pauses the peer's endpoint and TCP
    // holds the sender, whose own buffer then stays full.
    QVERIFY(waitUntil([&] { return core.Winsock1[2]->ReceivePaused(); }, 10000));
    QVERIFY(core.flowControl().congested(SerialNode));
    const qint64 sentWhileStalled = feeder.sent;
    QVERIFY(!waitUntil([&] { return feeder.sent > sentWhileStalled + 16 * 1024 * 1024; }, 500));
    QVERIFY(core.Com1->OutBufferCount()
            <= core.flowControl().limits().serialHigh + Winsock::ReadBufferLimit);

    // The device reads again: every byte arrives, in order.
    hub.device.setReading(true);
    QVERIFY2(checker.arrives(total, 120000), qPrintable(QStringLiteral("%1 of %2 bytes arrived").arg(checker.received).arg(total)));
    QVERIFY(!core.Winsock1[2]->ReceivePaused());
    checkMemoryBound(startKiB);
}

void BackPressureTest::deadReceiverIsResetOthersGoOn()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    core.Timer1->stop();
    FlowControl::Limits limits = core.flowControl().limits();
    limits.stallMs = 1000; // the real limit is 30 s; the rule is the same
    core.flowControl().setLimits(limits);

    // Forwarder 1's server accepts and never reads; forwarder 3's reads all.
    QTcpServer deafServer, readerServer;
    auto deaf = hub.connectForwarder(1, deafServer);
    auto reader = hub.connectForwarder(3, readerServer);
    QVERIFY(deaf && reader);
    // Nobody reads the deaf server's side: Qt lets go of it, the connection
    // lives on in this descriptor.
    const int deafFd = ::dup(int(deaf->socket->socketDescriptor()));
    const auto closeDeaf = qScopeGuard([deafFd] { ::close(deafFd); });
    deaf->socket->abort();
    Checker checker;
    checkArrivals(*reader, checker);
    auto gateway = hub.connectToListener(0);
    QVERIFY(gateway);
    core.Timer1->stop();

    const qint64 startKiB = startMemoryWatch();
    const qint64 total = 64LL * 1024 * 1024;
    Feeder feeder(*gateway->socket, total);
    feeder.feed();

    // Forwarder 1 fills up and holds the gateway back, so 3 stops too...
    QVERIFY(waitUntil([&] { return core.flowControl().congested(1); }, 10000));
    QVERIFY(core.Winsock1[0]->ReceivePaused());
    // ...until it has made no progress for the stall time and is dropped,
    // with a reset: its peer must not take the cut stream for a whole one.
    QVERIFY(waitUntil([&] { return core.Winsock1[1]->State() == Winsock::sckClosed; }, 10000));
    QCOMPARE(core.Text2[0]->backColor(), UiColour::Red);
    QByteArray sink(1024 * 1024, Qt::Uninitialized);
    long result = 0;
    int error = 0;
    QVERIFY(waitUntil([&] {
        while ((result = long(::recv(deafFd, sink.data(), std::size_t(sink.size()), MSG_DONTWAIT))) > 0) {}
        return result == 0 || (error = errno) != EAGAIN;
    }));
    QCOMPARE(result, -1L);
    QCOMPARE(error, ECONNRESET);

    // The others go on: forwarder 3 gets the whole stream, in order.
    QVERIFY2(checker.arrives(total, 60000), qPrintable(QStringLiteral("%1 of %2 bytes arrived").arg(checker.received).arg(total)));
    checkMemoryBound(startKiB);
}

void BackPressureTest::heldBytesRelayedBeforeTheSocketIsLetGo_data()
{
    QTest::addColumn<int>("endpoint");
    QTest::newRow("second server, re-listened by the tick") << 2;
    QTest::newRow("software forwarder, reconnected by the tick") << 1;
}

void BackPressureTest::heldBytesRelayedBeforeTheSocketIsLetGo()
{
    QFETCH(int, endpoint);
    TestHub hub;
    RelayCore &core = *hub.core;
    core.Timer1->stop();
    QVERIFY(hub.openSerial());
    QTcpServer upstream;
    auto peer = isListener(endpoint) ? hub.connectToListener(endpoint) : hub.connectForwarder(endpoint, upstream);
    QVERIFY(peer);
    core.Timer1->stop();

    // A device that reads nothing yet; the peer sends and goes.
    hub.device.setReading(false);
    const QByteArray sent = block(7).repeated(3).left(200 * 1024);
    peer->send(sent);
    peer->socket->disconnectFromHost();
    Winsock &socket = *core.Winsock1[std::size_t(endpoint)];
    QVERIFY(waitUntil([&] { return socket.State() == Winsock::sckClosing; }, 10000));
    QVERIFY(socket.BytesReceived() > 0); // held back by the full device

    // Ticks pass: the socket holding bytes is left alone.
    for (int tick = 0; tick < 3; ++tick) {
        core.Timer1_Timer();
        QCOMPARE(socket.State(), int(Winsock::sckClosing));
    }

    // The device reads again: every byte arrives, in order; then the tick
    // lets the emptied socket go.
    hub.device.setReading(true);
    QVERIFY(waitUntil([&] { return hub.device.received().size() >= sent.size(); }, 10000));
    QCOMPARE(hub.device.received(), sent);
    core.Timer1_Timer();
    QVERIFY(socket.State() != Winsock::sckClosing);
}

void BackPressureTest::lineWithoutFlowControlIsReadOnSlowDestinationDropped()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    core.Timer1->stop();
    FlowControl::Limits limits = core.flowControl().limits();
    limits.serialQueueLimit = 512 * 1024; // 1 MiB in use; the rule is the same
    core.flowControl().setLimits(limits);
    core.Com1->setSenderHold(SerialComm::SenderHold::No); // a UART without flow control
    QVERIFY(hub.openSerial());

    // The gateway's peer reads nothing; the second server's reads all.
    auto slow = hub.connectToListener(0);
    auto reader = hub.connectToListener(2);
    QVERIFY(slow && reader);
    core.Timer1->stop();
    slow->socket->setReadBufferSize(1);
    Checker checker;
    checkArrivals(*reader, checker);

    const qint64 startKiB = startMemoryWatch();
    const qint64 total = 48LL * 1024 * 1024;
    qint64 queued = 0;
    bool serialEverPaused = false;
    QTimer device;
    QObject::connect(&device, &QTimer::timeout, &device, [&] {
        serialEverPaused = serialEverPaused || core.Com1->ReceivePaused();
        while (queued < total && hub.device.pendingToSend() < 4 * BlockSize) {
            hub.device.send(block(queued / BlockSize));
            queued += BlockSize;
        }
    });
    device.start(1);

    // The slow destination falls behind by the bound and is dropped; the
    // device is never paused and the reader gets every byte, in order.
    QVERIFY(waitUntil([&] { return core.Winsock1[0]->State() == Winsock::sckClosed; }, 60000));
    QCOMPARE(core.Text1[0]->backColor(), UiColour::Red);
    QVERIFY2(checker.arrives(total, 120000), qPrintable(QStringLiteral("%1 of %2 bytes arrived").arg(checker.received).arg(total)));
    QVERIFY(!serialEverPaused);
    checkMemoryBound(startKiB);
}

void BackPressureTest::slowPeerOfThreeDroppedOthersGetAll()
{
    TestHub hub;
    RelayCore &core = *hub.core;
    FlowControl::Limits limits = core.flowControl().limits();
    limits.serialQueueLimit = 256 * 1024; // 1 MiB in use; the rule is the same
    limits.stallMs = 600000; // the bound alone drops it here
    core.flowControl().setLimits(limits);
    core.Com1->setSenderHold(SerialComm::SenderHold::No);
    NetworkSettings network = core.networkSettings();
    network.serverPeers = 3;
    QVERIFY(core.setNetworkSettings(network, false));
    QVERIFY(hub.openSerial());
    core.Text4[0]->setText(QStringLiteral("0"));
    core.Command5_Click(0);
    core.Timer1->stop();

    // Three peers of the TCP/IP Server: the first reads nothing.
    std::vector<std::unique_ptr<Peer>> peers;
    Checker checkers[2];
    for (int i = 0; i < 3; ++i) {
        peers.push_back(std::make_unique<Peer>(new QTcpSocket));
        peers.back()->socket->connectToHost(QStringLiteral("127.0.0.1"), quint16(core.Winsock1[2]->LocalPort()));
        QVERIFY(waitUntil([&] { return core.engine().snapshot().endpoints[2].peerCount == i + 1; }));
        if (i > 0)
            checkArrivals(*peers.back(), checkers[i - 1]);
    }
    peers.front()->socket->setReadBufferSize(1);

    const qint64 total = 16LL * 1024 * 1024;
    qint64 queued = 0;
    bool serialEverPaused = false;
    QTimer device;
    QObject::connect(&device, &QTimer::timeout, &device, [&] {
        serialEverPaused = serialEverPaused || core.Com1->ReceivePaused();
        for (; queued < total && hub.device.pendingToSend() < 4 * BlockSize; queued += BlockSize)
            hub.device.send(block(queued / BlockSize));
    });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("TCP/IP Server: peer .* fell 256 KiB behind")));
    device.start(1);

    // The slow peer is dropped at the bound, alone; the device never waits
    // and the other two get every byte, in order.
    QVERIFY(waitUntil([&] { return core.engine().snapshot().endpoints[2].peerCount == 2; }, 60000));
    for (Checker &checker : checkers)
        QVERIFY2(checker.arrives(total, 60000), qPrintable(QStringLiteral("%1 of %2 bytes arrived").arg(checker.received).arg(total)));
    QVERIFY(!serialEverPaused);
    QCOMPARE(core.engine().snapshot().counters.droppedDestinations, quint64(1));
}

void BackPressureTest::deafRfc2217PeerHoldsItselfAndIsReset_data()
{
    QTest::addColumn<QByteArray>("unit"); // what the peer sends over and over
    QTest::addColumn<bool>("trickle");    // reads a little every 50 ms instead of nothing
    QByteArray storm; // WILL and DO for options the hub refuses, each refused every time
    for (char option = 1; option < 44; ++option)
        storm += QByteArray("\xff\xfb") + option + "\xff\xfd" + option;
    QTest::newRow("WILL/DO storm") << storm << false;
    QTest::newRow("SIGNATURE queries") << QByteArray::fromHex("fffa2c00fff0") << false;
    QTest::newRow("WILL/DO storm, read in a trickle") << storm << true;
}

// The answers to a peer that sends and does not read queue on its own
// socket: the hub stops reading it instead of holding them all, and resets
// it once it is stuck over the bound. The line it set goes back to the
// operator's.
void BackPressureTest::deafRfc2217PeerHoldsItselfAndIsReset()
{
    QFETCH(QByteArray, unit);
    QFETCH(bool, trickle);
    TestHub hub;
    RelayCore &core = *hub.core;
    FlowControl::Limits limits = core.flowControl().limits();
    limits.stallMs = 1000;
    limits.serialQueueLimit = 64 * 1024; // under the high mark: a trickle reader stays over it
    core.flowControl().setLimits(limits);
    NetworkSettings network = core.networkSettings();
    network.rfc2217 = true;
    QVERIFY(core.setNetworkSettings(network, false));
    QVERIFY(hub.openSerial());
    // Small kernel buffers, so that what a trickle reads shows as progress.
    const int small = 4096;
    auto peer = hub.connectToListener(2, small);
    QVERIFY(peer);
    ::setsockopt(int(core.Winsock1[2]->SocketHandle()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    core.Timer1->stop();
    peer->send(QByteArray::fromHex("fffa2c0100000032fff0 fffa2c0502fff0")); // baud 50, XON/XOFF
    QTRY_COMPARE(core.lineSettings().flowControl, LineSettings::Flow::XonXoff);
    QCOMPARE(core.lineSettings().baudRate, 50);

    const int fd = ::dup(int(peer->socket->socketDescriptor()));
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    peer->socket->abort();
    Winsock &socket = *core.Winsock1[2];
    qint64 peak = 0; // right after each chunk the hub read and answered
    QObject::connect(&socket, &Winsock::DataArrival, &socket, [&] { peak = qMax(peak, socket.BytesToSend()); });
    const QByteArray block = unit.repeated(int(BlockSize / unit.size()));
    QByteArray sink(BlockSize, Qt::Uninitialized);
    QElapsedTimer sinceRead;
    sinceRead.start();
    const qint64 startKiB = startMemoryWatch();
    qint64 sent = 0;
    long n = 0;
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("RFC 2217 peer left")));
    QVERIFY(waitUntil([&] {
        while (sent < 64LL * 1024 * 1024
               && (n = long(::send(fd, block.constData() + sent % block.size(),
                                   std::size_t(block.size() - sent % block.size()), MSG_DONTWAIT | MSG_NOSIGNAL))) > 0)
            sent += n;
        if (trickle && sinceRead.elapsed() >= 50 && ::recv(fd, sink.data(), std::size_t(sink.size()), MSG_DONTWAIT) > 0)
            sinceRead.start();
        return socket.State() != Winsock::sckConnected;
    }, 20000));
    QCOMPARE(core.counters().droppedDestinations, 1U);
    // The high mark, and the answers to the one chunk read before the pause
    // (a SIGNATURE answer is under 4 times its query).
    const qint64 bound = limits.socketHigh + 4 * (Winsock::ReadBufferLimit + 1024);
    QVERIFY2(peak <= bound, qPrintable(QStringLiteral("%1 bytes queued, %2 sent").arg(peak).arg(sent)));
    checkMemoryBound(startKiB);
    termios line {};
    ::tcgetattr(hub.device.masterFd(), &line);
    QCOMPARE(int(::cfgetospeed(&line)), int(B19200));
    QCOMPARE(line.c_iflag & IXON, 0U);
    QCOMPARE(core.lineSettings(), LineSettings()); // nothing stored: the defaults
}

QTEST_GUILESS_MAIN(BackPressureTest)
#include "tst_back_pressure.moc"
