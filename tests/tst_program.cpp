#include "app/command_line.h"
#include "app/event_log.h"
#include "app/startup.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"
#include "support/wait_until.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {
// The program as a user starts it: no display, no platform chosen.
QProcessEnvironment withoutDisplay(const QString &stateDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("XDG_STATE_HOME"), stateDir);
    return env;
}
} // namespace

// The built program: a headless run end to end, the event log it keeps, and
// the session it restores.
class ProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void headlessRelaysBothWaysAndEndsCleanlyOnSignal();
    void eventLogRotatesAtItsSize();
    void sessionRestoredAtStartWithoutBoxes();

private:
    QTemporaryDir m_state;
};

void ProgramTest::headlessRelaysBothWaysAndEndsCleanlyOnSignal()
{
    TestConfig config;
    PtyDevice device;
    config.pinPorts({{3, device.slavePath()}});
    QProcess program;
    program.setProcessEnvironment(withoutDisplay(m_state.path()));
    QByteArray log;
    connect(&program, &QProcess::readyReadStandardError, this, [&] { log += program.readAllStandardError(); });
    program.start(QStringLiteral(QUAYLIGHT_PROGRAM), {u"--headless"_qs, u"--config-dir"_qs, config.dir(), u"--open"_qs,
                                                      u"3"_qs, u"--listen"_qs, u"0"_qs});
    const QRegularExpression listening(QStringLiteral("endpoint 2 listening on port (\\d+)"));
    QRegularExpressionMatch match;
    QVERIFY2(waitUntil([&] { return (match = listening.match(QString::fromUtf8(log))).hasMatch(); }, 10000), log.constData());

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
    QVERIFY(waitUntil([&] { return (received += peer.readAll()).size() >= toPeer.size(); }));
    QCOMPARE(received, toPeer);

    ::kill(pid_t(program.processId()), SIGTERM);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    log += program.readAllStandardError();
    QVERIFY2(log.contains("COM port 3 closed"), log.constData());
    QVERIFY(waitUntil([&] { return peer.state() == QAbstractSocket::UnconnectedState; }));
    // The same lines went to the log file.
    QFile file(m_state.path() + QStringLiteral("/quaylight/quaylight.log"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("COM port 3 closed"));
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
    Hub hub;
    hub.core->settings().write(QStringLiteral("Harborcast"), QStringLiteral("session"),
                               QStringLiteral("Restore"), QStringLiteral("true"));
    QTcpServer upstream;
    QVERIFY(hub.openSerial());
    QVERIFY(hub.connectForwarder(3, upstream));
    hub.core->Text4[0]->setText(QStringLiteral("0"));
    hub.core->Command5_Click(0);
    hub.core->mnuExit_Click();

    // The next start redoes Open, Listen and Connect.
    const auto start = [&hub](const CommandLine &options) {
        hub.core = std::make_unique<RelayCore>(hub.boxes, hub.config.dir());
        restoreSession(*hub.core, options);
        return hub.core.get();
    };
    RelayCore *core = start(CommandLine {});
    QVERIFY(core->Com1->PortOpen());
    QCOMPARE(core->Com1->CommPort(), Hub::SerialPort);
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

QTEST_GUILESS_MAIN(ProgramTest)
#include "tst_program.moc"
