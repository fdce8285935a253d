// The relay's event dispatcher against what Qt's dispatchers promise: timers,
// socket notifiers, posted events, nested passes, and notifiers that go away
// while the dispatcher is serving them.

#include "platform/epoll_dispatcher.h"
#include "support/wait_until.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connected pair of stream sockets, closed at the end.
struct SocketPair {
    int ends[2] {-1, -1};
    SocketPair() { QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) == 0); }
    ~SocketPair()
    {
        ::close(ends[0]);
        ::close(ends[1]);
    }
    void send(int end) const { QCOMPARE(::write(ends[end], "x", 1), 1); }
};

void drain(int fd)
{
    char buffer[64];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

// What was written to this process's eventfd descriptors and not read yet.
quint64 eventfdCounts()
{
    quint64 sum = 0;
    const QDir infos(QStringLiteral("/proc/self/fdinfo"));
    for (const QString &fd : infos.entryList(QDir::Files)) {
        QFile info(infos.filePath(fd));
        for (const QByteArray &line : info.open(QIODevice::ReadOnly) ? info.readAll().split('\n') : QByteArrayList())
            sum += line.startsWith("eventfd-count:") ? line.mid(14).trimmed().toULongLong(nullptr, 16) : 0;
    }
    return sum;
}

} // namespace

class EpollDispatcherTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void timersFireInOrderAndStop();
    void notifiersFollowReadinessAndEnabling();
    void postedEventsWakeAWaitingPass();
    void postedOnThisThreadCostNoWake();
    void nestedPassServesEachNotifierOnce();
    void notifierDeletedWhileServed();
};

void EpollDispatcherTest::initTestCase()
{
    if (qEnvironmentVariable("QUAYLIGHT_EVENT_DISPATCHER") == QLatin1String("unix"))
        QSKIP("Qt's own dispatcher was asked for");
    QVERIFY(qobject_cast<EpollDispatcher *>(QAbstractEventDispatcher::instance()));
}

void EpollDispatcherTest::timersFireInOrderAndStop()
{
    QList<int> fired;
    QTimer::singleShot(30, this, [&] { fired.append(30); });
    QTimer::singleShot(10, this, [&] { fired.append(10); });
    QTimer repeating;
    repeating.setTimerType(Qt::PreciseTimer);
    int ticks = 0;
    connect(&repeating, &QTimer::timeout, this, [&] {
        if (++ticks == 3)
            repeating.stop();
    });
    repeating.start(5);
    auto *dispatcher = QAbstractEventDispatcher::instance();
    QCOMPARE(dispatcher->registeredTimers(&repeating).size(), 1);
    QVERIFY(dispatcher->remainingTime(repeating.timerId()) <= 5);
    QVERIFY(waitUntil([&] { return fired.size() == 2 && ticks == 3; }, 2000));
    QCOMPARE(fired, (QList<int> {10, 30}));
    QVERIFY(dispatcher->registeredTimers(&repeating).isEmpty());
    // Stopped means stopped: a wait past several intervals brings none.
    QTest::qWait(30);
    QCOMPARE(ticks, 3);
}

void EpollDispatcherTest::notifiersFollowReadinessAndEnabling()
{
    SocketPair pair;
    QSocketNotifier reader(pair.ends[0], QSocketNotifier::Read);
    QSocketNotifier writer(pair.ends[0], QSocketNotifier::Write); // the same descriptor
    int reads = 0, writes = 0;
    connect(&reader, &QSocketNotifier::activated, this, [&] { ++reads, drain(pair.ends[0]); });
    connect(&writer, &QSocketNotifier::activated, this, [&] { ++writes, writer.setEnabled(false); });
    QVERIFY(waitUntil([&] { return writes == 1; }, 1000));
    QCOMPARE(reads, 0); // nothing to read yet
    pair.send(1);
    QVERIFY(waitUntil([&] { return reads == 1; }, 1000));
    reader.setEnabled(false);
    pair.send(1);
    QCoreApplication::processEvents();
    QCOMPARE(reads, 1); // disabled: ready, but not served
    reader.setEnabled(true);
    QVERIFY(waitUntil([&] { return reads == 2; }, 1000));
    QCOMPARE(writes, 1);

    // Switched on and off again between two waits: not served. Switched off
    // (by its own handler) for a descriptor that stays writable: it no longer
    // wakes a waiting pass.
    writer.setEnabled(true);
    writer.setEnabled(false);
    QCoreApplication::processEvents();
    QCOMPARE(writes, 1);
    writer.setEnabled(true);
    QVERIFY(waitUntil([&] { return writes == 2; }, 1000));
    int wakes = 0;
    const auto counting = connect(QAbstractEventDispatcher::instance(),
                                  &QAbstractEventDispatcher::awake, this, [&] { ++wakes; });
    bool over = false;
    QTimer::singleShot(50, this, [&] { over = true; });
    while (!over)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    disconnect(counting);
    QCOMPARE(writes, 2);
    QVERIFY2(wakes < 20, qPrintable(QStringLiteral("%1 wake-ups in 50 ms").arg(wakes)));
}

void EpollDispatcherTest::postedEventsWakeAWaitingPass()
{
    bool posted = false;
    bool gaveUp = false;
    QTimer::singleShot(5000, this, [&] { gaveUp = true; }); // a lost wake-up ends here
    QThread poster;
    QObject carrier;
    carrier.moveToThread(&poster);
    poster.start();
    // Posted from another thread while this one waits with nothing else due.
    QMetaObject::invokeMethod(&carrier, [&] {
        QMetaObject::invokeMethod(qApp, [&] { posted = true; }, Qt::QueuedConnection);
    });
    while (!posted && !gaveUp)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    poster.quit();
    poster.wait();
    QVERIFY(posted);
    QVERIFY(!gaveUp);
}

// Events posted by the dispatcher's own thread keep the next pass from
// waiting without a write to the wake descriptor; one posted while the pass
// is about to block still stops it from waiting.
void EpollDispatcherTest::postedOnThisThreadCostNoWake()
{
    QCoreApplication::processEvents();
    int delivered = 0;
    for (int i = 0; i < 10; ++i)
        QMetaObject::invokeMethod(this, [&] { ++delivered; }, Qt::QueuedConnection);
    const quint64 written = eventfdCounts();
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCOMPARE(delivered, 10);
    QCOMPARE(written, quint64(0));

    bool gaveUp = false;
    QTimer guard; // gone with this function, whatever fails
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, this, [&] { gaveUp = true; });
    guard.start(5000);
    const auto posting = connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                                 this, [&] {
                                     QMetaObject::invokeMethod(this, [&] { ++delivered; },
                                                               Qt::QueuedConnection);
                                 }, Qt::SingleShotConnection);
    while (delivered == 10 && !gaveUp)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    disconnect(posting);
    QCOMPARE(delivered, 11);
    QVERIFY(!gaveUp);
}

void EpollDispatcherTest::nestedPassServesEachNotifierOnce()
{
    SocketPair first, second;
    QSocketNotifier a(first.ends[0], QSocketNotifier::Read);
    QSocketNotifier b(second.ends[0], QSocketNotifier::Read);
    int aCalls = 0, bCalls = 0, emptyReads = 0;
    const auto readOne = [&](int fd) {
        char c;
        if (::read(fd, &c, 1) != 1)
            ++emptyReads; // served again with nothing there
    };
    connect(&a, &QSocketNotifier::activated, this, [&] {
        ++aCalls;
        readOne(first.ends[0]);
        QCoreApplication::processEvents(); // a pass nested in a handler
    });
    connect(&b, &QSocketNotifier::activated, this, [&] {
        ++bCalls;
        readOne(second.ends[0]);
        QCoreApplication::processEvents();
    });
    first.send(1);
    second.send(1);
    QVERIFY(waitUntil([&] { return aCalls >= 1 && bCalls >= 1; }, 1000));
    for (int pass = 0; pass < 5; ++pass)
        QCoreApplication::processEvents();
    QCOMPARE(aCalls, 1);
    QCOMPARE(bCalls, 1);
    QCOMPARE(emptyReads, 0);
}

void EpollDispatcherTest::notifierDeletedWhileServed()
{
    SocketPair pair;
    auto reader = std::make_unique<QSocketNotifier>(pair.ends[0], QSocketNotifier::Read);
    auto writer = std::make_unique<QSocketNotifier>(pair.ends[0], QSocketNotifier::Write);
    int served = 0;
    // Whichever is served first deletes both: the other, ready in the same
    // pass, must not be served.
    const auto both = [&] {
        ++served;
        reader.reset();
        writer.reset();
    };
    connect(reader.get(), &QSocketNotifier::activated, this, both);
    connect(writer.get(), &QSocketNotifier::activated, this, both);
    pair.send(1);
    QVERIFY(waitUntil([&] { return served > 0; }, 1000));
    QCoreApplication::processEvents();
    QCOMPARE(served, 1);
    // The descriptor is watched again from scratch by a new notifier.
    QSocketNotifier again(pair.ends[0], QSocketNotifier::Read);
    bool seen = false;
    connect(&again, &QSocketNotifier::activated, this, [&] { seen = true, drain(pair.ends[0]); });
    QVERIFY(waitUntil([&] { return seen; }, 1000));
}

QTEST_GUILESS_MAIN(EpollDispatcherTest)
#include "tst_epoll_dispatcher.moc"
