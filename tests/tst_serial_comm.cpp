// SerialComm over real pseudo-terminals.
#include "platform/component_error.h"
#include "platform/config_location.h"
#include "platform/port_table.h"
#include "platform/serial_comm.h"

#include "support/pty_device.h"
#include "support/test_config.h"

#include <QRandomGenerator>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QtTest>

#include <functional>
#include <stdexcept>

#include <sys/resource.h>
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

// User plus system CPU time of this process, in seconds.
double cpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Random bytes that surely hold NUL and 0xFF.
QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(generator.bounded(256));
    if (size >= 4) {
        bytes[0] = '\0';
        bytes[1] = char(0xFF);
        bytes[size / 2] = '\0';
        bytes[size - 1] = char(0xFF);
    }
    return bytes;
}

// "equal", or where two byte arrays first differ.
QByteArray difference(const QByteArray &got, const QByteArray &want)
{
    if (got == want)
        return "equal";
    const qsizetype n = qMin(got.size(), want.size());
    qsizetype i = 0;
    while (i < n && got.at(i) == want.at(i))
        ++i;
    return "sizes " + QByteArray::number(got.size()) + " and " + QByteArray::number(want.size())
        + ", first difference at " + QByteArray::number(i);
}

termios ptyTermios(const PtyDevice &pty)
{
    termios t {};
    ::tcgetattr(pty.masterFd(), &t); // the master reports the slave's settings
    return t;
}

// One comm on one pty pinned as port 3, in a private config folder.
struct Rig {
    TestConfig config;
    PtyDevice pty;
    PortTable table {quaylightConfigDir()};
    SerialComm comm {table};

    Rig()
    {
        config.pinPorts({{Port, pty.slavePath()}});
        comm.setCommPort(Port);
    }
};

} // namespace

class TestSerialComm : public QObject
{
    Q_OBJECT

private slots:
    void openAppliesLineSettings();
    void settingsChangeWhileOpenApplyAtOnce();
    void otherFailureFailsOpen();
    void settingsParsing_data();
    void settingsParsing();
    void propertyRules();
    void absentNumberFails();
    void pinnedPathThatDoesNotExistFails();
    void busyDeviceFails();
    void megabyteBothWays();
    void inputLenZeroReadsAll();
    void nullBytes();
    void vanishingDevice_data();
    void vanishingDevice();
    void deviceLostInsideACallIsPosted();
    void onCommNeverSynchronous();
    void eventsBeforeCloseAreDropped();
    void sendEvent();
    void handlerExceptionsAreContained();
};

void TestSerialComm::openAppliesLineSettings()
{
    Rig rig;
    QVERIFY(rig.pty.isValid());
    rig.comm.setSettings(QStringLiteral("19200,N,8,1"));
    QVERIFY(!rig.comm.PortOpen());
    rig.comm.setPortOpen(true);
    QVERIFY(rig.comm.PortOpen());
    QCOMPARE(rig.comm.DevicePath(), rig.pty.slavePath());

    const termios t = ptyTermios(rig.pty);
    QCOMPARE(cfgetospeed(&t), speed_t(B19200));
    QCOMPARE(cfgetispeed(&t), speed_t(B19200));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QVERIFY(!(t.c_cflag & PARENB));
    QVERIFY(!(t.c_cflag & CSTOPB));
    QVERIFY(!(t.c_lflag & (ICANON | ECHO))); // raw: bytes one to one

    rig.comm.setPortOpen(false);
    QVERIFY(!rig.comm.PortOpen());
    QCOMPARE(rig.comm.DevicePath(), QString());
    rig.comm.setPortOpen(false); // closing a closed port does nothing
}

void TestSerialComm::settingsChangeWhileOpenApplyAtOnce()
{
    Rig rig;
    rig.comm.setSettings(QStringLiteral("19200,N,8,1"));
    rig.comm.setPortOpen(true);

    // A pty keeps speed and stop bits (Linux forces 8 data bits, no parity).
    rig.comm.setSettings(QStringLiteral("9600,n,8,2"));
    QCOMPARE(rig.comm.Settings(), QStringLiteral("9600,N,8,2"));
    termios t = ptyTermios(rig.pty);
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QVERIFY(!(t.c_cflag & PARENB));
    QVERIFY(t.c_cflag & CSTOPB);

    rig.comm.setSettings(QStringLiteral("115200,N,8,1"));
    t = ptyTermios(rig.pty);
    QCOMPARE(cfgetospeed(&t), speed_t(B115200));
    QVERIFY(!(t.c_cflag & CSTOPB));

    // A malformed text changes nothing, open or not.
    QCOMPARE(codeOf([&] { rig.comm.setSettings(QStringLiteral("9600,N,9,1")); }),
             CommCode::InvalidPropertyValue);
    QCOMPARE(rig.comm.Settings(), QStringLiteral("115200,N,8,1"));
    t = ptyTermios(rig.pty);
    QCOMPARE(cfgetospeed(&t), speed_t(B115200));

    // Settings the device refuses: 380, and the previous ones stay in force.
    const int refused = codeOf([&] { rig.comm.setSettings(QStringLiteral("4800,E,7,2")); });
    t = ptyTermios(rig.pty);
    if (refused != 0) {
        QCOMPARE(refused, CommCode::InvalidPropertyValue);
        QCOMPARE(rig.comm.Settings(), QStringLiteral("115200,N,8,1"));
        QCOMPARE(cfgetospeed(&t), speed_t(B115200));
        QVERIFY(!(t.c_cflag & CSTOPB));
    } else { // a kernel whose ptys keep parity
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS7));
        QVERIFY(t.c_cflag & PARENB);
        rig.comm.setSettings(QStringLiteral("115200,N,8,1"));
    }
    QVERIFY(rig.comm.PortOpen());

    // Data still flows after the changes.
    rig.comm.setOutput(QByteArrayLiteral("after"));
    QTRY_COMPARE(rig.pty.received(), QByteArrayLiteral("after"));
}

void TestSerialComm::otherFailureFailsOpen()
{
    // A file that exists but is no terminal: 8020, and nothing is left open.
    TestConfig config;
    QTemporaryFile notATerminal;
    QVERIFY(notATerminal.open());
    config.pinPorts({{6, notATerminal.fileName()}});
    const PortTable table(quaylightConfigDir());
    SerialComm comm(table);
    comm.setCommPort(6);
    QCOMPARE(codeOf([&] { comm.setPortOpen(true); }), CommCode::DeviceError);
    QVERIFY(!comm.PortOpen());
    // Again the same code: no lock was left behind (that would read as 8005).
    QCOMPARE(codeOf([&] { comm.setPortOpen(true); }), CommCode::DeviceError);
    QVERIFY(!comm.PortOpen());
}

void TestSerialComm::settingsParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("good");
    QTest::addColumn<QString>("stored");

    QTest::newRow("19200,N,8,1") << "19200,N,8,1" << true << "19200,N,8,1";
    QTest::newRow("lower case") << "9600,e,7,2" << true << "9600,E,7,2";
    QTest::newRow("blanks") << " 115200 , o , 8 , 1.5 " << true << "115200,O,8,1.5";
    QTest::newRow("mark") << "300,M,5,1" << true << "300,M,5,1";
    QTest::newRow("space") << "1200,s,6,2" << true << "1200,S,6,2";
    QTest::newRow("odd rate") << "250000,N,8,1" << true << "250000,N,8,1";

    QTest::newRow("empty") << "" << false << "";
    QTest::newRow("baud only") << "19200" << false << "";
    QTest::newRow("three fields") << "19200,N,8" << false << "";
    QTest::newRow("five fields") << "19200,N,8,1,1" << false << "";
    QTest::newRow("bad parity") << "19200,X,8,1" << false << "";
    QTest::newRow("two parity letters") << "19200,NE,8,1" << false << "";
    QTest::newRow("empty parity") << "19200,,8,1" << false << "";
    QTest::newRow("data 4") << "19200,N,4,1" << false << "";
    QTest::newRow("data 9") << "19200,N,9,1" << false << "";
    QTest::newRow("stop 0") << "19200,N,8,0" << false << "";
    QTest::newRow("stop 3") << "19200,N,8,3" << false << "";
    QTest::newRow("stop 1.25") << "19200,N,8,1.25" << false << "";
    QTest::newRow("baud 0") << "0,N,8,1" << false << "";
    QTest::newRow("baud negative") << "-9600,N,8,1" << false << "";
    QTest::newRow("baud text") << "fast,N,8,1" << false << "";
    QTest::newRow("baud with sign") << "+9600,N,8,1" << false << "";
    QTest::newRow("baud too big") << "99999999999,N,8,1" << false << "";
    QTest::newRow("semicolons") << "19200;N;8;1" << false << "";
}

void TestSerialComm::settingsParsing()
{
    QFETCH(QString, text);
    QFETCH(bool, good);
    QFETCH(QString, stored);

    TestConfig config;
    const PortTable table(quaylightConfigDir());
    SerialComm comm(table);
    const QString before = comm.Settings();
    const int code = codeOf([&] { comm.setSettings(text); });
    if (good) {
        QCOMPARE(code, 0);
        QCOMPARE(comm.Settings(), stored);
    } else {
        QCOMPARE(code, CommCode::InvalidPropertyValue);
        QCOMPARE(comm.Settings(), before);
    }
}

void TestSerialComm::propertyRules()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    QCOMPARE(codeOf([&] { comm.setCommPort(0); }), CommCode::InvalidPropertyValue);
    QCOMPARE(codeOf([&] { comm.setCommPort(65); }), CommCode::InvalidPropertyValue);
    QCOMPARE(comm.CommPort(), Port);
    QCOMPARE(codeOf([&] { comm.setCommPort(64); }), 0);
    QCOMPARE(codeOf([&] { comm.setCommPort(1); }), 0);
    comm.setCommPort(Port);
    QCOMPARE(codeOf([&] { comm.setInBufferSize(0); }), CommCode::InvalidPropertyValue);
    QCOMPARE(codeOf([&] { comm.setInputLen(-1); }), CommCode::InvalidPropertyValue);
    QCOMPARE(codeOf([&] { comm.setRThreshold(-1); }), CommCode::InvalidPropertyValue);
    QCOMPARE(codeOf([&] { comm.setSThreshold(-1); }), CommCode::InvalidPropertyValue);
    QCOMPARE(codeOf([&] { comm.setInputMode(2); }), CommCode::InvalidPropertyValue);
    QCOMPARE(codeOf([&] { comm.setOutput("x"); }), CommCode::PortNotOpen);
    QVERIFY(comm.Input().isEmpty());
    QCOMPARE(comm.InBufferCount(), 0);
    QCOMPARE(comm.OutBufferCount(), 0);

    // DTR and RTS on: a pty has no modem lines, the open still succeeds.
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    QCOMPARE(codeOf([&] { comm.setCommPort(4); }), CommCode::PortOpen);
    QCOMPARE(codeOf([&] { comm.setCommPort(70); }), CommCode::PortOpen);
    QCOMPARE(codeOf([&] { comm.setPortOpen(true); }), CommCode::PortAlreadyOpen);
    QVERIFY(comm.PortOpen());
    comm.setDTREnable(false);
    comm.setRTSEnable(false);
    QVERIFY(comm.PortOpen());
    comm.setOutput(QByteArrayLiteral("ok"));
    QTRY_COMPARE(rig.pty.received(), QByteArrayLiteral("ok"));
}

void TestSerialComm::absentNumberFails()
{
    TestConfig config; // nothing pinned, automatic numbering off
    const PortTable table(quaylightConfigDir());
    SerialComm comm(table);
    comm.setCommPort(5);
    QCOMPARE(codeOf([&] { comm.setPortOpen(true); }), CommCode::PortInvalid);
    QVERIFY(!comm.PortOpen());
}

void TestSerialComm::pinnedPathThatDoesNotExistFails()
{
    TestConfig config;
    config.pinPorts({{4, QStringLiteral("/dev/quaylight-no-such-device")}});
    const PortTable table(quaylightConfigDir());
    SerialComm comm(table);
    comm.setCommPort(4);
    QCOMPARE(codeOf([&] { comm.setPortOpen(true); }), CommCode::PortInvalid);
    QVERIFY(!comm.PortOpen());
}

void TestSerialComm::busyDeviceFails()
{
    Rig rig;
    {
        // Held by another QSerialPort (another program would hold the lock).
        QSerialPort other(rig.pty.slavePath());
        QVERIFY(other.open(QIODevice::ReadWrite));
        QCOMPARE(codeOf([&] { rig.comm.setPortOpen(true); }), CommCode::PortAlreadyOpen);
        QVERIFY(!rig.comm.PortOpen());
        QCOMPARE(rig.comm.DevicePath(), QString());
    }
    // Released: nothing was left half-open, so this open works.
    rig.comm.setPortOpen(true);
    QVERIFY(rig.comm.PortOpen());

    // Held by another SerialComm.
    SerialComm second(rig.table);
    second.setCommPort(Port);
    QCOMPARE(codeOf([&] { second.setPortOpen(true); }), CommCode::PortAlreadyOpen);
    QVERIFY(!second.PortOpen());

    // The holder is unharmed.
    rig.comm.setOutput(QByteArrayLiteral("still mine"));
    QTRY_COMPARE(rig.pty.received(), QByteArrayLiteral("still mine"));
    rig.pty.send(QByteArrayLiteral("reply"));
    QTRY_COMPARE(rig.comm.InBufferCount(), 5);
    QCOMPARE(rig.comm.Input(), QByteArrayLiteral("reply"));

    rig.comm.setPortOpen(false);
    second.setPortOpen(true);
    QVERIFY(second.PortOpen());
}

void TestSerialComm::megabyteBothWays()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setSettings(QStringLiteral("115200,N,8,1"));
    comm.setInputLen(1024);
    comm.setRThreshold(1);
    comm.setSThreshold(1); // as the window sets it: Send events interleave
    comm.setPortOpen(true);

    const QByteArray sent = randomBytes(1 << 20, 20240611);
    QByteArray relayed;
    qsizetype largestRead = 0;
    int depth = 0;
    int deepest = 0;
    int events = 0;
    int sendEvents = 0;
    int otherEvents = 0;
    connect(&comm, &SerialComm::OnComm, this, [&] {
        ++depth;
        deepest = qMax(deepest, depth);
        if (comm.CommEvent() == CommEventCode::Receive) {
            const QByteArray chunk = comm.Input();
            largestRead = qMax(largestRead, chunk.size());
            relayed += chunk;
            comm.setOutput(chunk); // relayed back to the device, in order
            // Like the window's DoEvents: a pass of the event queue inside a handler.
            if (++events % 37 == 0)
                QCoreApplication::processEvents();
        } else if (comm.CommEvent() == CommEventCode::Send) {
            ++sendEvents;
        } else {
            ++otherEvents;
        }
        --depth;
    });

    rig.pty.send(sent);
    QTRY_COMPARE_WITH_TIMEOUT(relayed.size(), sent.size(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.pty.received().size(), sent.size(), 60000);
    QVERIFY2(relayed == sent, difference(relayed, sent).constData());
    QVERIFY2(rig.pty.received() == sent, difference(rig.pty.received(), sent).constData());
    QVERIFY(largestRead <= 1024);
    QVERIFY(events >= (1 << 20) / 1024);
    QCOMPARE(deepest, 1); // one event at a time, never nested
    QCOMPARE(otherEvents, 0);
    QTRY_COMPARE(comm.OutBufferCount(), 0);
    QTRY_VERIFY(sendEvents >= 1);
    QVERIFY(sendEvents <= events + 1); // coalesced: never more than one per output burst
    QCOMPARE(comm.InBufferCount(), 0);
}

void TestSerialComm::inputLenZeroReadsAll()
{
    Rig rig;
    rig.comm.setInputLen(0);
    rig.comm.setPortOpen(true);
    const QByteArray sent = randomBytes(100000, 7);
    rig.pty.send(sent);
    // Each read takes everything waiting; past the read limit the rest waits
    // in the device until read, so nothing is dropped.
    QTRY_COMPARE(rig.comm.InBufferCount(), SerialComm::ReadBufferLimit);
    QByteArray got = rig.comm.Input();
    QCOMPARE(got.size(), SerialComm::ReadBufferLimit);
    QTRY_COMPARE(rig.comm.InBufferCount(), sent.size() - SerialComm::ReadBufferLimit);
    got += rig.comm.Input();
    QVERIFY2(got == sent, difference(got, sent).constData());
    QCOMPARE(rig.comm.InBufferCount(), 0);
    QVERIFY(rig.comm.Input().isEmpty());
}

void TestSerialComm::nullBytes()
{
    Rig rig;
    rig.comm.setPortOpen(true);
    const QByteArray withNul("a\0b\0\0c\0", 7);

    QVERIFY(!rig.comm.NullDiscard());
    rig.pty.send(withNul);
    QTRY_COMPARE(rig.comm.InBufferCount(), withNul.size());
    QCOMPARE(rig.comm.Input(), withNul);

    rig.comm.setNullDiscard(true);
    rig.pty.send(withNul);
    QTRY_COMPARE(rig.comm.InBufferCount(), withNul.size());
    QCOMPARE(rig.comm.Input(), QByteArrayLiteral("abc"));

    rig.comm.setNullDiscard(false);
    rig.comm.setOutput(withNul); // output is never filtered
    QTRY_COMPARE(rig.pty.received(), withNul);
}

void TestSerialComm::vanishingDevice_data()
{
    QTest::addColumn<bool>("outputPending");
    QTest::newRow("idle line") << false;
    QTest::newRow("output pending") << true;
}

void TestSerialComm::vanishingDevice()
{
    QFETCH(bool, outputPending);
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setInputLen(1024);
    comm.setRThreshold(1);
    comm.setPortOpen(true);

    QList<int> events;
    bool portOpenAtLoss = true;
    connect(&comm, &SerialComm::OnComm, this, [&] {
        events.append(comm.CommEvent());
        if (comm.CommEvent() == CommEventCode::DeviceLost)
            portOpenAtLoss = comm.PortOpen();
    });

    if (outputPending) {
        rig.pty.setReading(false); // the device stops taking bytes
        comm.setOutput(randomBytes(256 * 1024, 3));
        QTRY_VERIFY(comm.OutBufferCount() > 0 && comm.OutBufferCount() < 256 * 1024);
    }

    // Bytes the device sent just before it goes reach the component, but
    // the handler has not read them yet.
    const QByteArray sent = randomBytes(3000, 11);
    rig.pty.send(sent);
    QTRY_COMPARE(comm.InBufferCount(), sent.size());
    QTRY_VERIFY(events.contains(CommEventCode::Receive));
    QCOMPARE(comm.InBufferCount(), sent.size());

    const QString goneSlave = rig.pty.slavePath();
    rig.pty.vanish();
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(CommEventCode::DeviceLost), 5000);
    QVERIFY(!portOpenAtLoss);
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.DevicePath(), QString());
    QCOMPARE(comm.OutBufferCount(), 0);

    // No spinning once the device is gone.
    const int eventsAtLoss = int(events.size());
    const double before = cpuSeconds();
    QTest::qWait(1000);
    const double used = cpuSeconds() - before;
    QVERIFY2(used < 0.25, qPrintable(QStringLiteral("%1 s of CPU in 1 s after the loss").arg(used)));
    QCOMPARE(events.count(CommEventCode::DeviceLost), 1);
    QCOMPARE(events.size(), eventsAtLoss);

    // Nothing the device sent is lost: Input still returns it, InputLen at a time.
    QCOMPARE(comm.InBufferCount(), sent.size());
    QByteArray got;
    for (QByteArray chunk = comm.Input(); !chunk.isEmpty(); chunk = comm.Input()) {
        QVERIFY(chunk.size() <= 1024);
        got += chunk;
    }
    QVERIFY2(got == sent, difference(got, sent).constData());

    // Absent, the pinned number names no device (opening a number like that
    // fails 8002: pinnedPathThatDoesNotExistFails). Never open the old path
    // here: another process may already have a new pty under that name.
    const QString now = rig.table.devicePath(Port);
    QVERIFY(now.isEmpty() || QFileInfo::exists(goneSlave));

    // The device is back (a new pty pinned at the same number): it opens again.
    PtyDevice back;
    rig.config.pinPorts({{Port, back.slavePath()}});
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.DevicePath(), back.slavePath());
    events.clear();
    back.send(QByteArrayLiteral("back again"));
    QTRY_VERIFY(events.contains(CommEventCode::Receive));
    QTRY_COMPARE(comm.InBufferCount(), 10);
    QCOMPARE(comm.Input(), QByteArrayLiteral("back again"));
    comm.setOutput(QByteArrayLiteral("welcome"));
    QTRY_COMPARE(back.received(), QByteArrayLiteral("welcome"));
}

void TestSerialComm::deviceLostInsideACallIsPosted()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setPortOpen(true);
    QSignalSpy spy(&comm, &SerialComm::OnComm);
    QList<int> events;
    connect(&comm, &SerialComm::OnComm, this, [&] { events.append(comm.CommEvent()); });

    rig.pty.vanish();
    // No event loop has run: the modem-line call itself meets the hung-up device.
    comm.setDTREnable(true);
    QCOMPARE(spy.count(), 0);
    QVERIFY(!comm.PortOpen());
    QTRY_COMPARE(events, QList<int>({CommEventCode::DeviceLost}));
}

void TestSerialComm::onCommNeverSynchronous()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    int emitted = 0;
    connect(&comm, &SerialComm::OnComm, this, [&] { ++emitted; });
    // Runs one call and fails when OnComm was emitted inside it.
    auto call = [&](const char *what, const std::function<void()> &fn) {
        const int before = emitted;
        fn();
        QVERIFY2(emitted == before, what);
    };

    call("open", [&] { comm.setPortOpen(true); });
    rig.pty.send(QByteArrayLiteral("0123456789"));
    QTRY_COMPARE(comm.InBufferCount(), 10); // RThreshold 0: no receive events yet
    QCOMPARE(emitted, 0);
    call("RThreshold", [&] { comm.setRThreshold(1); });
    QTRY_VERIFY(emitted > 0);
    call("Input", [&] { QCOMPARE(comm.Input().size(), 10); });
    call("SThreshold", [&] { comm.setSThreshold(1); });
    call("Output", [&] { comm.setOutput(QByteArray(5000, 'x')); });
    call("Settings", [&] { comm.setSettings(QStringLiteral("38400,N,8,1")); });
    call("DTR", [&] { comm.setDTREnable(true); });
    call("RTS", [&] { comm.setRTSEnable(true); });
    call("InputLen", [&] { comm.setInputLen(3); });
    rig.pty.send(QByteArrayLiteral("abcdefgh"));
    QTRY_COMPARE(comm.InBufferCount(), 8);
    call("Input", [&] { QCOMPARE(comm.Input(), QByteArrayLiteral("abc")); });
    call("close", [&] { comm.setPortOpen(false); });
    call("open", [&] { comm.setPortOpen(true); });
    const int settled = emitted;
    rig.pty.send(QByteArrayLiteral("z"));
    QTRY_VERIFY(emitted > settled);
}

void TestSerialComm::eventsBeforeCloseAreDropped()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    QList<int> events;
    QByteArray got;
    connect(&comm, &SerialComm::OnComm, this, [&] {
        events.append(comm.CommEvent());
        got += comm.Input();
    });

    // A receive event is posted (the threshold is met) but not yet delivered
    // when the port is closed on purpose: it never arrives.
    comm.setPortOpen(true);
    rig.pty.send(QByteArrayLiteral("pending"));
    QTRY_COMPARE(comm.InBufferCount(), 7);
    comm.setRThreshold(1); // posts a receive event
    comm.setPortOpen(false);
    QTest::qWait(200);
    QCOMPARE(events, QList<int>());
    QVERIFY(got.isEmpty());
    QCOMPARE(comm.InBufferCount(), 0); // closing drops unread bytes

    // The same for the DeviceLost event of a device that vanished.
    comm.setPortOpen(true);
    rig.pty.vanish();
    comm.setDTREnable(false); // meets the hung-up device: closes, posts DeviceLost
    QVERIFY(!comm.PortOpen());
    comm.setPortOpen(false);
    QTest::qWait(200);
    QCOMPARE(events, QList<int>());

    // Delivery still works for what comes after.
    PtyDevice back;
    rig.config.pinPorts({{Port, back.slavePath()}});
    comm.setPortOpen(true);
    back.send(QByteArrayLiteral("fresh"));
    QTRY_COMPARE(got, QByteArrayLiteral("fresh"));
    QCOMPARE(events.first(), CommEventCode::Receive);
    QCOMPARE(events.count(CommEventCode::DeviceLost), 0);
}

void TestSerialComm::sendEvent()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    QList<int> events;
    connect(&comm, &SerialComm::OnComm, this, [&] { events.append(comm.CommEvent()); });
    comm.setSThreshold(1);
    comm.setPortOpen(true);
    const QByteArray data = randomBytes(200000, 5);
    comm.setOutput(data);
    QVERIFY(comm.OutBufferCount() > 0); // queued, not written in the call
    QTRY_COMPARE_WITH_TIMEOUT(rig.pty.received().size(), data.size(), 20000);
    QVERIFY(rig.pty.received() == data);
    QTRY_COMPARE(events, QList<int>({CommEventCode::Send}));
    QCOMPARE(comm.OutBufferCount(), 0);
}

void TestSerialComm::handlerExceptionsAreContained()
{
    Rig rig;
    SerialComm &comm = rig.comm;
    comm.setRThreshold(1);
    comm.setPortOpen(true);
    int calls = 0;
    QByteArray got;
    connect(&comm, &SerialComm::OnComm, this, [&] {
        ++calls;
        got += comm.Input();
        if (calls == 1)
            comm.setCommPort(70); // throws 8000: the port is open
        if (calls == 2)
            throw std::runtime_error("handler failure");
    });
    rig.pty.send(QByteArrayLiteral("one"));
    QTRY_COMPARE(calls, 1);
    rig.pty.send(QByteArrayLiteral("two"));
    QTRY_COMPARE(calls, 2);
    rig.pty.send(QByteArrayLiteral("three"));
    QTRY_COMPARE(calls, 3);
    QCOMPARE(got, QByteArrayLiteral("onetwothree"));
    QVERIFY(comm.PortOpen());
}

QTEST_GUILESS_MAIN(TestSerialComm)
#include "tst_serial_comm.moc"
