// SerialComm over real pseudo-terminals, pinned as numbered ports.
#include "platform/config_location.h"
#include "platform/port_table.h"
#include "platform/serial_comm.h"
#include "support/pty_device.h"
#include "support/test_config.h"

#include <QRandomGenerator>
#include <QtTest>

#include <poll.h>
#include <sys/ioctl.h>


namespace {

constexpr int Port = 3;

// Random bytes from a fixed seed, NUL and 0xFF among them.
QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator generator(seed);
    for (qsizetype i = 1; i < size; ++i)
        bytes[i] = char(generator.bounded(256));
    return bytes;
}

// One comm on one pty pinned as port 3 in a private config folder; every
// OnComm is recorded.
struct Rig {
    TestConfig config;
    PtyDevice pty;
    PortTable table {quaylightConfigDir()};
    SerialComm comm {table};
    QList<int> events;

    Rig()
    {
        config.pinPorts({{Port, pty.slavePath()}});
        comm.setCommPort(Port);
        comm.setRThreshold(1);
        QObject::connect(&comm, &SerialComm::OnComm, &comm, [this] { events.append(comm.CommEvent()); });
    }
};

} // namespace

class TestSerialComm : public QObject
{
    Q_OBJECT

private slots:
    void megabyteBothWays();
    void bytesArrivingDuringAPass();
    void burstCutIntoChunks();
    void vanishingDeviceAndReopen_data();
    void vanishingDeviceAndReopen();
    void receivePause();
    void writtenInTheCall();
};

// Echoed back as it arrives, in reads of at most InputLen, one event at a
// time even when the handler makes passes of the event queue.
void TestSerialComm::megabyteBothWays()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setInputLen(1024);
    comm.setSThreshold(1); // as the window sets it: Send events interleave
    comm.setPortOpen(true);
    const QByteArray sent = randomBytes(1 << 20, 20240611);
    QByteArray relayed;
    qsizetype largestRead = 0;
    int depth = 0, deepest = 0, reads = 0;
    connect(&comm, &SerialComm::OnComm, this, [&] {
        deepest = qMax(deepest, ++depth);
        if (comm.CommEvent() == CommEventCode::Receive) {
            const QByteArray chunk = comm.Input();
            largestRead = qMax(largestRead, chunk.size());
            relayed += chunk;
            comm.setOutput(chunk);
            if (++reads % 37 == 0) { // the relay's DoEvents: the second pass delivers what the first posts
                QCoreApplication::processEvents();
                QCoreApplication::processEvents();
            }
        }
        --depth;
    });
    rig.pty.send(sent);
    QTRY_COMPARE_WITH_TIMEOUT(rig.pty.received().size(), sent.size(), 60000);
    QVERIFY(relayed == sent && rig.pty.received() == sent);
    QCOMPARE(largestRead, 1024);
    // The output drained after the last read: a Send event came last.
    QTRY_COMPARE(rig.events.last(), CommEventCode::Send);
    QCOMPARE(deepest, 1);
}

// A handler that reads and, in its pass of the event queue, sees as many
// bytes arrive as it took: it read, so the next event follows in the same
// delivery instead of after the pause kept for handlers that read nothing.
void TestSerialComm::bytesArrivingDuringAPass()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setInputLen(1024);
    comm.setPortOpen(true);
    int deliveries = 0;
    connect(&comm, &SerialComm::DeliveryEnded, this, [&] { ++deliveries; });
    QList<int> deliveryOfRead;
    connect(&comm, &SerialComm::OnComm, this, [&] {
        deliveryOfRead << deliveries;
        QVERIFY(!comm.Input().isEmpty());
        if (deliveryOfRead.size() == 1) {
            rig.pty.send(randomBytes(1024, 5));
            QTRY_VERIFY(comm.InBufferCount() >= 1024);
        }
    });
    rig.pty.send(randomBytes(1024, 4));
    QTRY_VERIFY(deliveryOfRead.size() >= 2);
    QCOMPARE(deliveryOfRead.at(1), deliveryOfRead.at(0));
}

// A burst the device hands over in few reads still reaches the handler as
// chunks of at most InputLen, in order, one receive event each with its own
// passes of the queue; a pause taken in the first event holds back the bytes
// already read until it ends.
void TestSerialComm::burstCutIntoChunks()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setInputLen(1024);
    comm.setPortOpen(true);
    QList<qsizetype> chunks;
    QByteArray got;
    int depth = 0;
    connect(&comm, &SerialComm::OnComm, this, [&] {
        QVERIFY(++depth == 1);
        const QByteArray chunk = comm.Input();
        chunks << chunk.size();
        got += chunk;
        if (chunks.size() == 1)
            comm.setReceivePaused(true);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        --depth;
    });
    const QByteArray sent = randomBytes(5000, 9);
    rig.pty.send(sent);
    // Paused after the first chunk: the rest is read, held, and not announced.
    QTRY_COMPARE(comm.InBufferCount(), sent.size() - chunks.value(0));
    QCoreApplication::processEvents();
    QCOMPARE(chunks.size(), 1);
    comm.setReceivePaused(false);
    QTRY_COMPARE(got.size(), sent.size());
    QVERIFY(got == sent);
    QCOMPARE(rig.events.size(), chunks.size()); // one event per chunk
    QVERIFY(chunks.size() >= 5);
    QVERIFY(std::all_of(chunks.cbegin(), chunks.cend(), [](qsizetype n) { return n > 0 && n <= 1024; }));
}

void TestSerialComm::vanishingDeviceAndReopen_data()
{
    QTest::addColumn<bool>("outputPending");
    QTest::newRow("idle line") << false;
    QTest::newRow("output pending") << true;
}

void TestSerialComm::vanishingDeviceAndReopen()
{
    QFETCH(bool, outputPending);
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setPortOpen(true);
    if (outputPending) {
        rig.pty.setReading(false); // the device stops taking bytes
        comm.setOutput(randomBytes(256 * 1024, 3));
        QTRY_VERIFY(comm.OutBufferCount() > 0 && comm.OutBufferCount() < 256 * 1024);
    }
    const QByteArray sent = randomBytes(3000, 11); // received, unread when the device goes
    rig.pty.send(sent);
    QTRY_COMPARE(comm.InBufferCount(), sent.size());
    rig.pty.vanish();
    QTRY_VERIFY(rig.events.contains(CommEventCode::DeviceLost));
    QVERIFY(!comm.PortOpen());
    QVERIFY(comm.Input() == sent); // what the device sent stays readable
    // The device is back (a new pty at the same number): it opens and works.
    PtyDevice back;
    rig.config.pinPorts({{Port, back.slavePath()}});
    comm.setPortOpen(true);
    back.send("back again");
    QTRY_COMPARE(comm.InBufferCount(), 10);
    QCOMPARE(comm.Input(), QByteArrayLiteral("back again"));
    comm.setOutput("welcome");
    QTRY_COMPARE(back.received(), QByteArrayLiteral("welcome"));
}

// Paused: no receive event, and past the read limit the rest waits in the
// device. Resuming announces what waits though nothing new arrives.
void TestSerialComm::receivePause()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setSenderHold(SerialComm::SenderHold::No); // honoured whatever the relay is told
    comm.setPortOpen(true);
    QByteArray got;
    connect(&comm, &SerialComm::OnComm, this, [&] { got += comm.Input(); });
    comm.setReceivePaused(true);
    const QByteArray sent = randomBytes(SerialComm::ReadBufferLimit + 40000, 7);
    rig.pty.send(sent);
    QTRY_COMPARE(comm.InBufferCount(), SerialComm::ReadBufferLimit);
    QCoreApplication::processEvents(); // a receive event posted by now would run here
    QVERIFY(rig.events.isEmpty());
    comm.setReceivePaused(false);
    QTRY_COMPARE(got.size(), sent.size());
    QVERIFY(got == sent);
}

// What the device takes is written before setOutput returns, with no pass
// of the event queue; the Send event still comes from the loop afterwards.
void TestSerialComm::writtenInTheCall()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setSThreshold(1);
    comm.setPortOpen(true);
    rig.pty.setReading(false);
    int waiting = 0;
    comm.setOutput("at once");
    // The pty hands the bytes to its master in a kernel worker: wait for
    // them there, outside the event loop.
    pollfd master {rig.pty.masterFd(), POLLIN, 0};
    QCOMPARE(::poll(&master, 1, 5000), 1);
    QCOMPARE(::ioctl(rig.pty.masterFd(), FIONREAD, &waiting), 0);
    QCOMPARE(waiting, 7);
    QCOMPARE(comm.OutBufferCount(), 0);
    QVERIFY(rig.events.isEmpty());
    QTRY_COMPARE(rig.events, QList<int> {CommEventCode::Send});
}

QTEST_GUILESS_MAIN(TestSerialComm)
#include "tst_serial_comm.moc"
