#include "app/command_line.h"
#include "app/event_log.h"
#include "app/startup.h"
#include "platform/port_table.h"
#include "platform/serial_comm.h"
#include "platform/signal_watcher.h"
#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"
#include "support/wait_until.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <tuple>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {
// The program as a user starts it: no display, no platform chosen.
QProcessEnvironment withoutDisplay(const QString &stateDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("XDG_STATE_HOME"), stateDir);
    return env;
}
// Whether process `pid` holds an epoll set: the relay's dispatcher keeps
// one, Qt's own dispatchers do not.
bool holdsEpollSet(qint64 pid)
{
    const QString folder = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QString &fd : QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        if (::readlink(QFile::encodeName(folder + fd).constData(), target, sizeof target - 1) > 0
            && std::strcmp(target, "anon_inode:[eventpoll]") == 0)
            return true;
    }
    return false;
}

} // namespace

// The built program: its command line, a run end to end with and without its
// window, the event log it keeps, and the session it restores.
class ProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void relaysBothWaysAndEndsCleanlyOnSignal_data();
    void relaysBothWaysAndEndsCleanlyOnSignal();
    void eventLogRotatesAtItsSize();
    void sessionRestoredAtStartWithoutBoxes();
    void serviceWritesOnlyItsStateFolder();
    void signalBeforeTheWatcherWaitsForIt();
    void listPortsAsJson();
    void failedStartSaysWhyAndStops_data();
    void failedStartSaysWhyAndStops();
};

void ProgramTest::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // a line printed once (stdout or stderr; signalled: the log)
    QTest::addColumn<QString>("platform");
    QTest::addColumn<bool>("signalled"); // SIGTERM comes while the program starts
    QTest::addColumn<QString>("stored"); // Harborcast.ini, which the run must leave as it was
    const QString none;
    QTest::newRow("version") << QStringList {QStringLiteral("--version")} << 0 << versionLine() << none << false << none;
    QTest::newRow("help") << QStringList {QStringLiteral("--help")} << 0
                          << QStringLiteral("  --headless ") << none << false << none;
    QTest::newRow("unknown option") << QStringList {QStringLiteral("--bogus")} << 2
                                    << QStringLiteral("quaylight: Unknown option 'bogus'.") << none << false << none;
    QTest::newRow("port number too high")
        << QStringList {QStringLiteral("--headless"), QStringLiteral("--open"), QStringLiteral("65")}
        << 2 << QStringLiteral("quaylight: --open takes a port number from 1 to 64 or a device path, not '65'.")
        << none << false << none;
    QTest::newRow("listen port not a number")
        << QStringList {QStringLiteral("--listen"), QStringLiteral("80x")} << 2
        << QStringLiteral("quaylight: --listen takes a TCP port from 0 to 65535 or ADDRESS:PORT, not '80x'.")
        << none << false << none;
    QTest::newRow("server peers over the limit")
        << QStringList {QStringLiteral("--headless"), QStringLiteral("--server-peers"), QStringLiteral("65")} << 2
        << QStringLiteral("quaylight: --server-peers takes keep or a number from 1 to 64, not '65'.") << none << false << none;
    QTest::newRow("metrics address without a port")
        << QStringList {QStringLiteral("--headless"), QStringLiteral("--metrics"), QStringLiteral("::1")} << 2
        << QStringLiteral("quaylight: --metrics takes ADDRESS:PORT (like 127.0.0.1:9471 or [::1]:9471), not '::1': "
                          "an IPv6 address needs its brackets.")
        << none << false << none;
    QTest::newRow("metrics on a host name") << QStringList {u"--headless"_qs, u"--metrics"_qs, u"localhost:0"_qs, u"--open"_qs, u"9"_qs}
        << 1 << u"metrics served on 127.0.0.1 port"_qs << none << false << none;
    QTest::newRow("window without a display")
        << QStringList {QStringLiteral("--open"), QStringLiteral("3")} << 2
        << QStringLiteral("quaylight: no display: use --headless or run under a virtual display") << none << false << none;
    // Ended while "Invalid COM port..." asks: the box closes, no Listen.
    QTest::newRow("window, signal while a box asks")
        << QStringList {QStringLiteral("--open"), QStringLiteral("5"), QStringLiteral("--listen"), QStringLiteral("0")}
        << 0 << QStringLiteral("signal 15: closing the port and the sockets") << QStringLiteral("offscreen") << true << none;
}

void ProgramTest::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, platform);
    QFETCH(bool, signalled);
    QFETCH(QString, stored);
    TestConfig config; // only serial port 3 exists there
    PtyDevice device;
    config.pinPorts({{3, device.slavePath()}});
    QFile settings(config.dir() + QStringLiteral("/Harborcast.ini"));
    QVERIFY(stored.isEmpty() || (settings.open(QIODevice::WriteOnly) && settings.write(stored.toUtf8()) > 0));
    settings.close();
    QTemporaryDir state;
    QProcessEnvironment env = withoutDisplay(state.path());
    if (!platform.isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    QProcess program;
    program.setProcessEnvironment(env);
    if (signalled) {
        program.setChildProcessModifier([] {
            // Held back through exec: it comes as soon as the program lets it in.
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGTERM);
            ::sigprocmask(SIG_BLOCK, &set, nullptr);
            ::kill(::getpid(), SIGTERM);
        });
    }
    program.start(QStringLiteral(QUAYLIGHT_PROGRAM),
                  arguments + QStringList {QStringLiteral("--config-dir"), config.dir()});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    QFile log(state.path() + QStringLiteral("/quaylight/quaylight.log"));
    const QString printed = QString::fromUtf8(signalled && log.open(QIODevice::ReadOnly)
                                                  ? log.readAll()
                                                  : program.readAllStandardOutput() + program.readAllStandardError());
    QVERIFY2(printed.split(QLatin1Char('\n')).filter(output).size() == 1, qPrintable(printed));
    QVERIFY(!settings.open(QIODevice::ReadOnly) || settings.readAll() == stored.toUtf8());
}

void ProgramTest::relaysBothWaysAndEndsCleanlyOnSignal_data()
{
    QTest::addColumn<bool>("headless");
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("byName"); // --open the device's path, --listen localhost:0
    QTest::newRow("headless, SIGTERM") << true << int(SIGTERM) << false;
    QTest::newRow("headless, by path and host name") << true << int(SIGTERM) << true;
    QTest::newRow("window, SIGTERM") << false << int(SIGTERM) << false;
    QTest::newRow("window, SIGHUP") << false << int(SIGHUP) << false;
}

// The program end to end: the port opened and the server listening from the
// command line, bytes both ways, and a signal ends it as Exit does (port
// closed, its lock file gone, exit code 0), with or without its window.
void ProgramTest::relaysBothWaysAndEndsCleanlyOnSignal()
{
    QFETCH(bool, headless);
    QFETCH(int, signal);
    QFETCH(bool, byName);
    TestConfig config;
    PtyDevice device;
    config.pinPorts({{3, device.slavePath()}});
    QTemporaryDir state;
    QProcessEnvironment env = withoutDisplay(state.path());
    if (!headless)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess program;
    program.setProcessEnvironment(env);
    QStringList arguments {QStringLiteral("--config-dir"), config.dir(), QStringLiteral("--open"),
                           byName ? device.slavePath() : u"3"_qs, QStringLiteral("--listen"),
                           byName ? u"localhost:0"_qs : u"0"_qs};
    if (headless)
        arguments.prepend(QStringLiteral("--headless"));
    program.start(QStringLiteral(QUAYLIGHT_PROGRAM), arguments);
    // Both modes keep the log file; only headless mode writes stderr as well.
    QFile file(state.path() + QStringLiteral("/quaylight/quaylight.log"));
    QByteArray log;
    const auto readLog = [&] {
        if (file.isOpen() || file.open(QIODevice::ReadOnly))
            log += file.readAll();
        return log;
    };
    const QRegularExpression listening(QStringLiteral("TCP/IP Server listening on port (\\d+)"));
    QRegularExpressionMatch match;
    QVERIFY2(waitUntil([&] { return (match = listening.match(QString::fromUtf8(readLog()))).hasMatch(); },
                       10000),
             log.constData());

    // With or without a window, the relay runs on its own event dispatcher.
    QVERIFY(holdsEpollSet(program.processId()));

    // The device's lock file is there while the port is open, gone after.
    const QString lock = QStringLiteral("/var/lock/LCK..")
        + device.slavePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    const bool locks = QFileInfo(QStringLiteral("/var/lock")).isWritable();
    QVERIFY(!locks || QFile::exists(lock));
    QTcpSocket peer;
    peer.connectToHost(QStringLiteral("127.0.0.1"), match.captured(1).toUShort());
    QVERIFY(peer.waitForConnected(5000));
    const QByteArray toDevice("peer\0\xff\r\n to device", 19);
    const QByteArray toPeer("device\0\xff to peer", 16);
    peer.write(toDevice);
    QVERIFY(waitUntil([&] { return device.received().size() >= toDevice.size(); }));
    QCOMPARE(device.received(), toDevice);
    device.send(toPeer);
    QByteArray received;
    QVERIFY(waitUntil([&] {
        received += peer.readAll();
        return received.size() >= toPeer.size();
    }));
    QCOMPARE(received, toPeer);

    // Bytes the device has not read yet when the signal comes stay with it.
    device.setReading(false);
    const QByteArray last(1000, 'z');
    peer.write(last);
    int waiting = 0;
    QVERIFY(waitUntil([&] { return ::ioctl(device.masterFd(), FIONREAD, &waiting) == 0 && waiting >= 1000; }));
    ::kill(pid_t(program.processId()), signal);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY2(readLog().contains("COM port 3 closed"), log.constData());
    QCOMPARE(program.readAllStandardError().contains("COM port 3 closed"), headless);
    QVERIFY(!QFile::exists(lock));
    device.setReading(true);
    QVERIFY(waitUntil([&] { return device.received().size() >= toDevice.size() + last.size(); }));
    QCOMPARE(device.received(), toDevice + last);
    QVERIFY(waitUntil([&] { return peer.state() == QAbstractSocket::UnconnectedState; }));
}

void ProgramTest::eventLogRotatesAtItsSize()
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/logs/quaylight.log");
    {
        EventLog log({path, false, 1000, 3});
        for (int i = 0; i < 200; ++i)
            log.write(QStringLiteral("quaylight.app"), QStringLiteral("line %1").arg(i));
    }
    // The newest lines are in the file itself, older ones in .1 to .3, each
    // file within the size, nothing lost inside what is kept.
    QStringList kept;
    for (const QString &suffix : {QStringLiteral(".3"), QStringLiteral(".2"), QStringLiteral(".1"),
                                  QString()}) {
        QFile file(path + suffix);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        QVERIFY(file.size() <= 1000);
        kept += QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QVERIFY(!QFile::exists(path + QStringLiteral(".4")));
    QVERIFY(kept.last().endsWith(QStringLiteral(" quaylight.app: line 199")));
    const int first = kept.first().section(QLatin1Char(' '), -1).toInt();
    for (int i = 0; i < kept.size(); ++i)
        QVERIFY2(kept[i].endsWith(QStringLiteral(": line %1").arg(first + i)), qPrintable(kept[i]));
}

void ProgramTest::sessionRestoredAtStartWithoutBoxes()
{
    TestHub hub;
    hub.core->settings().write(QStringLiteral("Harborcast"), QStringLiteral("session"),
                               QStringLiteral("Restore"), QStringLiteral("true"));
    QTcpServer upstream;
    QVERIFY(hub.openSerial());
    QVERIFY(hub.connectForwarder(3, upstream));
    hub.core->Text4[0]->setText(QStringLiteral("0"));
    hub.core->Command5_Click(0);
    hub.core->mnuExit_Click();
    hub.core->mnuExit_Click(); // a second signal finds all closed, and notes nothing

    // The next start redoes Open, Listen and Connect.
    const auto start = [&hub](const CommandLine &options) {
        hub.core = std::make_unique<RelayCore>(hub.boxes, hub.config.dir());
        restoreSession(*hub.core, options);
        return hub.core.get();
    };
    RelayCore *core = start(CommandLine {});
    QVERIFY(core->Com1->PortOpen());
    QCOMPARE(core->Com1->CommPort(), TestHub::SerialPort);
    QCOMPARE(core->Winsock1[2]->State(), int(Winsock::sckListening));
    QVERIFY(core->DataHostForwarderArmed && !core->SoftwareForwarderArmed);
    QVERIFY(upstream.waitForNewConnection(5000));
    core->mnuExit_Click();

    // A step that fails says so in the caption, never in a box; the others
    // are still done. A step the command line gives itself is not redone.
    hub.device.vanish();
    CommandLine options;
    options.listenPort = QStringLiteral("0");
    core = start(options);
    QVERIFY(!core->Com1->PortOpen());
    QCOMPARE(core->Caption(), QStringLiteral("Session restore: COM port 4 did not open"));
    QCOMPARE(core->Winsock1[2]->State(), int(Winsock::sckClosed));
    QVERIFY(core->DataHostForwarderArmed);
    QVERIFY(hub.boxes.shown().isEmpty());
}

// A signal that comes before the watcher (the program still starting)
// waits for it instead of ending the process, and is reported then.
// Under systemd with StateDirectory= the configuration folder is read-only:
// the session is restored from the note in the state folder, noted there
// again at the end, and the log goes there too; the configuration's files
// stay as they were.
void ProgramTest::serviceWritesOnlyItsStateFolder()
{
    TestConfig config;
    PtyDevice device;
    config.pinPorts({{3, device.slavePath()}});
    QTemporaryDir state;
    for (const auto &[path, text] : {std::pair {config.dir() + QStringLiteral("/Harborcast.ini"),
                                                "[startup]\nLocalPort2=0\n[session]\nRestore=true\n"},
                                     std::pair {state.path() + QStringLiteral("/session.ini"),
                                                "[session]\nComPort=3\nServer2=true\n"}}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) > 0);
    }
    const auto snapshot = [&] {
        QMap<QString, QByteArray> files;
        for (const QFileInfo &info : QDir(config.dir()).entryInfoList(QDir::Files)) {
            QFile file(info.filePath());
            files[info.fileName()] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("?");
            QFile::setPermissions(info.filePath(), QFile::ReadOwner | QFile::ReadGroup);
        }
        return files;
    };
    const QMap<QString, QByteArray> before = snapshot();

    QTemporaryDir elsewhere; // $XDG_STATE_HOME, which the service does not use
    QProcessEnvironment env = withoutDisplay(elsewhere.path());
    env.insert(QStringLiteral("STATE_DIRECTORY"), state.path() + QStringLiteral(":/nonexistent"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(QUAYLIGHT_PROGRAM),
                  {QStringLiteral("--headless"), QStringLiteral("--config-dir"), config.dir()});
    QFile log(state.path() + QStringLiteral("/quaylight.log"));
    QByteArray text;
    const auto readLog = [&] {
        if (log.isOpen() || log.open(QIODevice::ReadOnly))
            text += log.readAll();
        return text;
    };
    QVERIFY2(waitUntil([&] { return readLog().contains("session restored"); }, 10000), text.constData());
    ::kill(pid_t(program.processId()), SIGTERM);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    QVERIFY2(readLog().contains("COM port 3 closed") && !text.contains(" warning:"), text.constData());
    QVERIFY(!QFile::exists(elsewhere.path() + QStringLiteral("/quaylight/quaylight.log")));
    QFile note(state.path() + QStringLiteral("/session.ini"));
    QVERIFY(note.open(QIODevice::ReadOnly));
    const QByteArray noted = note.readAll();
    for (const char *line : {"ComPort=3", "Server2=true", "Forwarder1=false", "Forwarder3=false"})
        QVERIFY2(noted.contains(line), noted.constData());
    QCOMPARE(snapshot(), before);
}

void ProgramTest::signalBeforeTheWatcherWaitsForIt()
{
    SignalWatcher::hold({SIGUSR2});
    ::raise(SIGUSR2);
    SignalWatcher watcher({SIGUSR2});
    QSignalSpy signalled(&watcher, &SignalWatcher::signalled);
    QVERIFY(signalled.wait(5000));
    QCOMPARE(signalled.constFirst().constFirst().toInt(), SIGUSR2);
}

// --list-ports --json lists every pinned number, present or not, and the one
// another process holds (here this test) as locked.
void ProgramTest::listPortsAsJson()
{
    TestConfig config;
    PtyDevice free;
    PtyDevice held;
    const QString missing = config.dir() + QStringLiteral("/no-such-device");
    config.pinPorts({{3, free.slavePath()}, {5, held.slavePath()}, {7, missing}});
    PortTable table(config.dir());
    SerialComm holder(table);
    holder.setCommPort(5);
    holder.setPortOpen(true);
    const bool locks = QFileInfo(QStringLiteral("/var/lock")).isWritable();
    QProcess program;
    program.start(QStringLiteral(QUAYLIGHT_PROGRAM),
                  {QStringLiteral("--list-ports"), QStringLiteral("--json"), QStringLiteral("--config-dir"), config.dir()});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    QJsonArray expected;
    for (const auto &[number, path, present, locked] : {std::tuple {3, free.slavePath(), true, false},
                                                        {5, held.slavePath(), true, locks}, {7, missing, false, false}}) {
        expected.append(QJsonObject {{QStringLiteral("number"), number}, {QStringLiteral("device"), path},
                                     {QStringLiteral("identity"), path}, {QStringLiteral("present"), present},
                                     {QStringLiteral("locked"), locked}});
    }
    QCOMPARE(QJsonDocument::fromJson(program.readAllStandardOutput()).array(), expected);
}

void ProgramTest::failedStartSaysWhyAndStops_data()
{
    QTest::addColumn<QString>("open");       // --open's value; "held": port 3, held here
    QTest::addColumn<QByteArray>("stored");  // Harborcast.ini
    QTest::addColumn<QStringList>("extra");  // more arguments
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");     // the last line, after "quaylight: "
    const QString absent = QString::fromLocal8Bit(std::strerror(ENOENT)), pem = u"/nonexistent/q.pem"_qs;
    const QString noFile = QStringLiteral("TLS certificate %1: %2; nothing is started").arg(pem, absent);
    const QString badMetrics = u"Harborcast.ini [monitor] Metrics=%1 is not ADDRESS:PORT (like 127.0.0.1:9471); nothing is started"_qs;
    QTest::newRow("number naming no device") << u"9"_qs << QByteArray() << QStringList() << 1
        << QStringLiteral("serial port 9 could not be opened: %1: port 9 names no device (see --list-ports)").arg(absent);
    QTest::newRow("path naming no device") << u"/dev/no-such-tty"_qs << QByteArray() << QStringList() << 1
        << QStringLiteral("/dev/no-such-tty could not be opened: %1").arg(absent);
    QTest::newRow("held by another program") << u"held"_qs << QByteArray() << QStringList() << 1
        << QStringLiteral("serial port 3 could not be opened: %1 (%2): another program holds it")
               .arg(QString::fromLocal8Bit(std::strerror(EBUSY)));
    // Settings that cannot be used: 2, before the device is opened.
    QTest::newRow("[monitor] Metrics without a port") << u"3"_qs << QByteArray("[monitor]\nMetrics=localhost\n")
        << QStringList() << 2 << badMetrics.arg(u"localhost"_qs);
    QTest::newRow("[tls] on, no certificate file") << u"3"_qs
        << "[tls]\nEnabled=yes\nCertificate=" + pem.toUtf8() + "\nPrivateKey=" + pem.toUtf8() << QStringList() << 2 << noFile;
    QTest::newRow("--tls-cert no file") << u"3"_qs << QByteArray()
        << QStringList {u"--tls-cert"_qs, pem, u"--tls-key"_qs, pem} << 2 << noFile;
    QTest::newRow("restoring, bad Metrics") << QString() << QByteArray("[session]\nRestore=on\nComPort=3\n[monitor]\nMetrics=:x\n")
        << QStringList() << 2 << badMetrics.arg(u":x"_qs);
}

// Headless, a start step that fails is the last: no question logged as if
// someone answered it, nothing listens, the last line says why in the
// system's words. Settings that cannot be used end it with 2 before the
// device is touched: its line (speed, DTR) stays as it was.
void ProgramTest::failedStartSaysWhyAndStops()
{
    QFETCH(QString, open);
    QFETCH(QByteArray, stored);
    QFETCH(QStringList, extra);
    QFETCH(QString, reason);
    TestConfig config;
    PtyDevice device;
    config.pinPorts({{3, device.slavePath()}});
    PortTable table(config.dir());
    SerialComm holder(table);
    if (open == u"held"_qs) {
        if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
            QSKIP("without lock files root opens a held device anyway");
        holder.setCommPort(3);
        holder.setPortOpen(true);
        open = u"3"_qs;
        reason = reason.arg(device.slavePath());
    }
    QFile settings(config.dir() + QStringLiteral("/Harborcast.ini"));
    QVERIFY(settings.open(QIODevice::WriteOnly) && settings.write(stored) == stored.size());
    settings.close();
    termios before {}, after {};
    QCOMPARE(::tcgetattr(device.masterFd(), &before), 0);
    QVERIFY(::cfgetospeed(&before) != B19200); // what an Open sets
    QTemporaryDir state;
    QProcess program;
    program.setProcessEnvironment(withoutDisplay(state.path()));
    if (!open.isEmpty())
        extra += QStringList {u"--open"_qs, open};
    program.start(QStringLiteral(QUAYLIGHT_PROGRAM),
                  QStringList {u"--headless"_qs, u"--listen"_qs, u"0"_qs, u"--config-dir"_qs, config.dir()} + extra);
    QVERIFY(program.waitForFinished(10000));
    QTEST(program.exitCode(), "exitCode");
    const QString printed = QString::fromUtf8(program.readAllStandardError());
    QCOMPARE(printed.trimmed().section(u'\n', -1), u"quaylight: "_qs + reason);
    QVERIFY2(!printed.contains(u"Would you like"_qs) && !printed.contains(u"listening"_qs), qPrintable(printed));
    QCOMPARE(::tcgetattr(device.masterFd(), &after), 0);
    QCOMPARE(::cfgetospeed(&after), ::cfgetospeed(&before));
}

QTEST_GUILESS_MAIN(ProgramTest)
#include "tst_program.moc"
