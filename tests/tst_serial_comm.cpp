// SerialComm over real pseudo-terminals, pinned as numbered ports.
#include "platform/component_error.h"
#include "platform/config_location.h"
#include "platform/port_table.h"
#include "platform/serial_comm.h"
#include "support/pty_device.h"
#include "support/test_config.h"

#include <QRandomGenerator>
#include <QSerialPort>
#include <QTemporaryFile>
#include <QtTest>

#include <ctime>
#include <functional>
#include <termios.h>

namespace {

constexpr int Port = 3;

// The code a call throws, 0 when it does not throw.
int codeOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const ComponentError &e) {
        return e.code();
    }
    return 0;
}

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
        QObject::connect(&comm, &SerialComm::OnComm, &comm, [this] { events.append(comm.CommEvent()); });
    }
    termios line() const // the master reports the slave's settings
    {
        termios t {};
        ::tcgetattr(pty.masterFd(), &t);
        return t;
    }
    speed_t speed() const
    {
        const termios t = line();
        return cfgetospeed(&t);
    }
};

} // namespace

class TestSerialComm : public QObject
{
    Q_OBJECT

private slots:
    void lineSettingsAndRawBytes();
    void settingsParsing_data();
    void settingsParsing();
    void openFailuresAndBusyDevice();
    void megabyteBothWays();
    void vanishingDeviceAndReopen_data();
    void vanishingDeviceAndReopen();
    void onCommNeverSynchronous();
    void receivePause();
    void senderHold_data();
    void senderHold();
    void remoteControlsOnPty();
};

void TestSerialComm::lineSettingsAndRawBytes()
{
    Rig rig;
    QVERIFY(rig.pty.isValid());
    rig.comm.setSettings(u"19200,N,8,1"_qs);
    rig.comm.setFlowControl(1); // RTS/CTS, as a pty accepts it
    rig.comm.setPortOpen(true);
    QCOMPARE(rig.comm.DevicePath(), rig.pty.slavePath());
    QCOMPARE(rig.speed(), speed_t(B19200));
    QCOMPARE(rig.line().c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8 | CRTSCTS));
    QVERIFY(!(rig.line().c_lflag & (ICANON | ECHO)));
    // Raw both ways: NUL bytes pass (NullDiscard is false by default).
    const QByteArray withNul("a\0b\0\0c\0", 7);
    rig.pty.send(withNul);
    QTRY_COMPARE(rig.comm.InBufferCount(), withNul.size());
    QCOMPARE(rig.comm.Input(), withNul);
    rig.comm.setOutput(withNul);
    QTRY_COMPARE(rig.pty.received(), withNul);
    // Applied at once while open (a pty keeps speed, stop bits and flow control).
    rig.comm.setSettings(u"9600,n,8,2"_qs);
    QCOMPARE(rig.speed(), speed_t(B9600));
    QVERIFY(rig.line().c_cflag & CSTOPB);
    rig.comm.setFlowControl(2);
    QCOMPARE(rig.line().c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    QVERIFY(!(rig.line().c_cflag & CRTSCTS));
    QCOMPARE(codeOf([&] { rig.comm.setFlowControl(3); }), CommCode::InvalidPropertyValue);
    QCOMPARE(rig.comm.FlowControl(), 2);
}

void TestSerialComm::settingsParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("stored"); // empty: refused with 380
    QTest::newRow("lower case") << u"9600,e,7,2"_qs << u"9600,E,7,2"_qs;
    QTest::newRow("blanks, 1.5") << u" 115200 , o , 5 , 1.5 "_qs << u"115200,O,5,1.5"_qs;
    for (const char *bad : {"19200,N,8", "19200,X,8,1", "19200,N,9,1", "19200,N,8,1.25", "0,N,8,1",
                            "+9600,N,8,1", "99999999999,N,8,1"})
        QTest::newRow(bad) << QString::fromLatin1(bad) << QString();
}

void TestSerialComm::settingsParsing()
{
    QFETCH(QString, text);
    QFETCH(QString, stored);
    TestConfig config;
    const PortTable table(quaylightConfigDir());
    SerialComm comm(table);
    const QString before = comm.Settings();
    QCOMPARE(codeOf([&] { comm.setSettings(text); }), stored.isEmpty() ? CommCode::InvalidPropertyValue : 0);
    QCOMPARE(comm.Settings(), stored.isEmpty() ? before : stored);
}

void TestSerialComm::openFailuresAndBusyDevice()
{
    Rig rig;
    QTemporaryFile notATerminal;
    QVERIFY(notATerminal.open());
    rig.config.pinPorts({{Port, rig.pty.slavePath()}, {6, notATerminal.fileName()}});
    QSerialPort other(rig.pty.slavePath()); // another program holds the device
    QVERIFY(other.open(QIODevice::ReadWrite));
    // 5 names no device, 6 is no terminal, 3 is busy; each twice alike: a
    // failure leaves nothing open (nor a lock).
    for (const auto &[number, code] : {std::pair {5, CommCode::PortInvalid}, std::pair {6, CommCode::DeviceError},
                                       std::pair {Port, CommCode::PortAlreadyOpen}}) {
        rig.comm.setCommPort(number);
        for (int attempt = 0; attempt < 2; ++attempt) {
            QCOMPARE(codeOf([&] { rig.comm.setPortOpen(true); }), code);
            QVERIFY(!rig.comm.PortOpen());
        }
    }
    other.close();
    rig.comm.setPortOpen(true); // released: it opens, and now holds the device
    QCOMPARE(codeOf([&] { rig.comm.setPortOpen(true); }), CommCode::PortAlreadyOpen);
    QCOMPARE(codeOf([&] { rig.comm.setCommPort(4); }), CommCode::PortOpen);
}

void TestSerialComm::megabyteBothWays()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setInputLen(1024);
    comm.setRThreshold(1);
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
            comm.setOutput(chunk); // back to the device, in order
            if (++reads % 37 == 0) { // the window's DoEvents: the second pass delivers what the first posts
                QCoreApplication::processEvents();
                QCoreApplication::processEvents();
            }
        }
        --depth;
    });
    rig.pty.send(sent);
    QTRY_COMPARE_WITH_TIMEOUT(rig.pty.received().size(), sent.size(), 60000);
    QVERIFY(relayed == sent && rig.pty.received() == sent);
    QVERIFY(largestRead <= 1024);
    QCOMPARE(deepest, 1); // one event at a time, never nested
    QVERIFY(rig.events.contains(CommEventCode::Send));
    QCOMPARE(rig.events.count(CommEventCode::Receive) + rig.events.count(CommEventCode::Send), rig.events.size());
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
    comm.setRThreshold(1);
    comm.setPortOpen(true);
    if (outputPending) {
        rig.pty.setReading(false); // the device stops taking bytes
        comm.setOutput(randomBytes(256 * 1024, 3));
        QTRY_VERIFY(comm.OutBufferCount() > 0 && comm.OutBufferCount() < 256 * 1024);
    }
    const QByteArray sent = randomBytes(3000, 11); // received, unread when the device goes
    rig.pty.send(sent);
    QTRY_COMPARE(comm.InBufferCount(), sent.size());
    QTRY_VERIFY(rig.events.contains(CommEventCode::Receive));
    rig.pty.vanish();
    QTRY_VERIFY_WITH_TIMEOUT(rig.events.contains(CommEventCode::DeviceLost), 5000);
    QVERIFY(!comm.PortOpen());
    // No spinning once the device is gone, and no further events.
    const qsizetype eventsAtLoss = rig.events.size();
    const std::clock_t before = std::clock(); // CPU time of this process
    QTest::qWait(1000);
    const double used = double(std::clock() - before) / CLOCKS_PER_SEC;
    QVERIFY2(used < 0.25, qPrintable(QStringLiteral("%1 s of CPU in 1 s after the loss").arg(used)));
    QCOMPARE(rig.events.size(), eventsAtLoss);
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

void TestSerialComm::onCommNeverSynchronous()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    auto call = [&](const char *what, const std::function<void()> &fn) { // fails when OnComm came inside
        const qsizetype before = rig.events.size();
        fn();
        QVERIFY2(rig.events.size() == before, what);
    };
    call("open", [&] { comm.setPortOpen(true); });
    rig.pty.send("0123456789");
    QTRY_COMPARE(comm.InBufferCount(), 10); // RThreshold 0: no receive events yet
    QVERIFY(rig.events.isEmpty());
    call("RThreshold", [&] { comm.setRThreshold(1); });
    QTRY_VERIFY(!rig.events.isEmpty());
    call("Output", [&] { comm.setSThreshold(1); comm.setOutput(QByteArray(5000, 'x')); });
    call("InputLen, Input", [&] { comm.setInputLen(3); QCOMPARE(comm.Input(), QByteArrayLiteral("012")); });
    call("close, open", [&] { comm.setPortOpen(false); comm.setPortOpen(true); });
    // A call that meets the hung-up device posts DeviceLost, it does not emit it.
    rig.events.clear();
    rig.pty.vanish();
    call("DTR on a lost device", [&] { comm.setDTREnable(true); });
    QVERIFY(!comm.PortOpen());
    QTRY_COMPARE(rig.events, QList<int>({CommEventCode::DeviceLost}));
}

void TestSerialComm::receivePause()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setSenderHold(SerialComm::SenderHold::No); // honoured whatever the relay is told
    comm.setRThreshold(1);
    comm.setPortOpen(true);
    QByteArray got;
    connect(&comm, &SerialComm::OnComm, this, [&] { got += comm.Input(); });
    // Paused: no receive event, and past the read limit the rest waits in the
    // device. Resuming announces what waits though nothing new arrives.
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

void TestSerialComm::senderHold_data()
{
    QTest::addColumn<int>("number"); // 3: the pty, opened; 4: the pty, closed; 5: no device
    QTest::addColumn<SerialComm::SenderHold>("hold");
    QTest::addColumn<int>("flowControl");
    QTest::addColumn<bool>("holds");
    using H = SerialComm::SenderHold;
    QTest::newRow("pty, open") << 3 << H::Auto << 0 << true;
    QTest::newRow("pty, closed") << 4 << H::Auto << 0 << true;
    QTest::newRow("pty, forced off") << 3 << H::No << 0 << false;
    QTest::newRow("no device") << 5 << H::Auto << 0 << false;
    QTest::newRow("no device, forced on") << 5 << H::Yes << 0 << true;
    QTest::newRow("no device, RTS/CTS") << 5 << H::Auto << 1 << true;
    QTest::newRow("no device, XON/XOFF") << 5 << H::Auto << 2 << true;
}

void TestSerialComm::senderHold()
{
    QFETCH(int, number);
    QFETCH(SerialComm::SenderHold, hold);
    QFETCH(int, flowControl);
    Rig rig;
    rig.config.pinPorts({{3, rig.pty.slavePath()}, {4, rig.pty.slavePath()}});
    rig.comm.setCommPort(number);
    rig.comm.setSenderHold(hold);
    rig.comm.setFlowControl(flowControl);
    rig.comm.setPortOpen(number == 3);
    QTEST(rig.comm.HoldsSender(), "holds");
}

// What a remote client may ask of a pty: modem lines (it has none), DTR and
// RTS (refused at once), a break, purges. The port stays open and usable.
void TestSerialComm::remoteControlsOnPty()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setRThreshold(1);
    QVERIFY(comm.setDTREnable(true)); // closed: kept for the open
    comm.setPortOpen(true);
    QElapsedTimer clock;
    clock.start();
    for (int poll = 0; poll < 40; ++poll) // more than a streak of I/O errors that closes the port
        QCOMPARE(comm.ModemLines(), quint8(0));
    QVERIFY(!comm.setDTREnable(false) && !comm.setRTSEnable(true));
    const bool breakTaken = comm.setBreak(true); // a pty takes it or refuses it; either way at once
    QCOMPARE(comm.Break(), breakTaken);
    QVERIFY(comm.setBreak(false) && !comm.Break());
    QVERIFY(clock.elapsed() < 1000);
    // Unread input goes, here and in the device; what follows arrives alone.
    rig.pty.send("stale");
    QTRY_COMPARE(comm.InBufferCount(), 5);
    comm.purge(true, false);
    QCOMPARE(comm.InBufferCount(), 0);
    // Queued output goes, and the drop is told like a write.
    rig.pty.setReading(false);
    comm.setOutput(QByteArray(256 * 1024, 'q'));
    QTRY_VERIFY(comm.OutBufferCount() > 0);
    QSignalSpy written(&comm, &SerialComm::BytesWritten);
    comm.purge(false, true);
    QCOMPARE(comm.OutBufferCount(), 0);
    QVERIFY(written.isEmpty());
    QTRY_VERIFY(!written.isEmpty());
    rig.pty.setReading(true);
    comm.setOutput("after");
    QTRY_VERIFY(rig.pty.received().endsWith("after"));
    QVERIFY(rig.pty.received().size() < 256 * 1024);
    rig.pty.send("fresh");
    QTRY_COMPARE(comm.InBufferCount(), 5);
    QCOMPARE(comm.Input(), QByteArrayLiteral("fresh"));
    QVERIFY(comm.PortOpen() && !rig.events.contains(CommEventCode::DeviceLost));
}

QTEST_GUILESS_MAIN(TestSerialComm)
#include "tst_serial_comm.moc"
