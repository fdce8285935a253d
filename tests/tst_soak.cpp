#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"
#include "support/process_stats.h"
#include "support/wait_until.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>


// Many short lives of the two kinds of endpoint: what leaks a little per
// cycle shows here as a climbing descriptor count or resident size.
class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void acceptAndPeerCloseCycles();
    void forwarderConnectRefusedCycles();
};

void SoakTest::acceptAndPeerCloseCycles()
{
    TestHub hub;
    RelayCore &form = *hub.core;
    form.Timer1->stop();
    // The port the OS picks, then kept in the field so every re-listen
    // takes the same one.
    form.Text4[0]->setText(QStringLiteral("0"));
    form.Command5_Click(0);
    const quint16 port = quint16(form.Winsock1[2]->LocalPort());
    form.Text4[0]->setText(QString::number(port));
    form.Command5_Click(0);
    QCOMPARE(form.Winsock1[2]->State(), int(Winsock::sckListening));

    const int cycles = 10000;
    int descriptorsAfterWarmUp = 0;
    qint64 residentAfterWarmUp = 0;
    for (int i = 0; i < cycles; ++i) {
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY2(waitUntil([&] { return form.Winsock1[2]->State() == Winsock::sckConnected; }), qPrintable(QString::number(i)));
        peer.write("x");
        // Mostly resets: a graceful close leaves a TIME_WAIT entry per cycle,
        // and 10,000 of them would use up the loopback's ephemeral ports.
        if (i % 10 == 0) {
            peer.disconnectFromHost();
        } else {
            peer.flush();
            const linger reset {1, 0}; // close with RST, no TIME_WAIT
            ::setsockopt(int(peer.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            peer.abort();
        }
        QVERIFY(waitUntil([&] { return form.Winsock1[2]->State() == Winsock::sckClosing; }));
        peer.abort();
        form.Timer1_Timer(); // re-arms the armed second server
        form.Timer1->stop(); // Listen enables the timer; its own ticks would race this loop
        QCOMPARE(form.Winsock1[2]->State(), int(Winsock::sckListening));
        if (i == 500) {
            descriptorsAfterWarmUp = openDescriptors();
            residentAfterWarmUp = statusKiB("VmRSS:");
        }
    }
    QCOMPARE(openDescriptors(), descriptorsAfterWarmUp);
    QVERIFY2(!RssIsMeaningful || statusKiB("VmRSS:") - residentAfterWarmUp < 4096,
             qPrintable(QStringLiteral("RSS grew by %1 KiB").arg(statusKiB("VmRSS:") - residentAfterWarmUp)));
}

void SoakTest::forwarderConnectRefusedCycles()
{
    TestHub hub;
    RelayCore &form = *hub.core;
    form.Timer1->stop();
    // A port nobody listens on: taken from a listener that is then gone.
    QTcpServer gone;
    QVERIFY(gone.listen(QHostAddress::LocalHost, 0));
    const quint16 refusing = gone.serverPort();
    gone.close();
    form.Text2[1]->setText(QStringLiteral("127.0.0.1"));
    form.Text2[0]->setText(QString::number(refusing));
    form.Command3_Click(0);

    const int cycles = 10000;
    int descriptorsAfterWarmUp = 0;
    qint64 residentAfterWarmUp = 0;
    for (int i = 0; i < cycles; ++i) {
        // The refusal closes the socket through the error event.
        QVERIFY(waitUntil([&] { return form.Winsock1[1]->State() == Winsock::sckClosed; }));
        if (i == 500) {
            descriptorsAfterWarmUp = openDescriptors();
            residentAfterWarmUp = statusKiB("VmRSS:");
        }
        form.Timer1_Timer();
    }
    QTRY_COMPARE_WITH_TIMEOUT(form.Winsock1[1]->State(), int(Winsock::sckClosed), 5000);
    QCOMPARE(openDescriptors(), descriptorsAfterWarmUp);
    QVERIFY2(!RssIsMeaningful || statusKiB("VmRSS:") - residentAfterWarmUp < 4096,
             qPrintable(QStringLiteral("RSS grew by %1 KiB").arg(statusKiB("VmRSS:") - residentAfterWarmUp)));
    QVERIFY(hub.boxes.shown().isEmpty());
}

QTEST_GUILESS_MAIN(SoakTest)
#include "tst_soak.moc"
