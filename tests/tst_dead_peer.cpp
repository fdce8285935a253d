#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"
#include "support/wait_until.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {
int option(qintptr fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    return ::getsockopt(int(fd), level, name, &value, &size) == 0 ? value : -1;
}

bool run(const QString &command)
{
    return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command}) == 0;
}

// A test host in a network namespace of its own, joined to this one by a
// veth pair on a private /30; names and subnet are this run's own, so runs
// side by side do not meet. Taking the link down makes the host vanish
// without a FIN or a reset, as a pulled cable does.
struct TestHost {
    TestHost()
    {
        const qint64 pid = QCoreApplication::applicationPid();
        m_name = QStringLiteral("qlt%1").arg(pid);
        m_link = QStringLiteral("qlh%1").arg(pid % 100000000);
        const qint64 third = pid % 256;
        const qint64 base = 4 * ((pid / 256) % 64);
        m_hub = QStringLiteral("10.213.%1.%2").arg(third).arg(base + 1);
        m_host = QStringLiteral("10.213.%1.%2").arg(third).arg(base + 2);
        ok = run(QStringLiteral("ip netns add %1 && ip link add %2 type veth peer name %2p && ip link set %2p netns %1"
                                " && ip addr add %3/30 dev %2 && ip link set %2 up && ip -n %1 addr add %4/30 dev %2p"
                                " && ip -n %1 link set %2p up && ip -n %1 link set lo up")
                     .arg(m_name, m_link, m_hub, m_host));
    }
    ~TestHost()
    {
        m_peer.kill();
        m_peer.waitForFinished(5000);
        run(QStringLiteral("ip link del %1 2>/dev/null; ip netns del %2 2>/dev/null").arg(m_link, m_name));
    }

    // A peer on the host that connects to the hub and then just stays.
    void connectPeer(quint16 port)
    {
        m_peer.start(QStringLiteral("ip"),
                     {QStringLiteral("netns"), QStringLiteral("exec"), m_name, QStringLiteral("bash"),
                      QStringLiteral("-c"),
                      QStringLiteral("exec 3<>/dev/tcp/%1/%2 && exec sleep 120").arg(m_hub).arg(port)});
    }
    // Pulls the cable.
    bool vanish() { return run(QStringLiteral("ip link set %1 down").arg(m_link)); }

    QString m_name, m_link, m_hub, m_host;
    bool ok = false;
    QProcess m_peer;
};
} // namespace

// A peer that vanishes without closing (cable pulled, host off) must not hold
// an endpoint forever: every connection probes its peer and fails within
// idle + interval * probes seconds (25 s), which the window handles as a
// socket error. The probing is checked on the live descriptors, and for real
// with a test host whose link is taken down (when the suite may make network
// namespaces, as root).
class DeadPeerTest : public QObject
{
    Q_OBJECT

private slots:
    void connectionsProbeTheirPeers();
    void vanishedPeerFreesTheSecondServer();
};

// Checked on the live descriptor of an accepted connection, so it holds
// where no test host can be made too.
void DeadPeerTest::connectionsProbeTheirPeers()
{
    TestHub hub;
    auto peer = hub.connectToListener(2);
    QVERIFY(peer);
    const qintptr fd = hub.core->Winsock1[2]->SocketHandle();
    QCOMPARE(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    const int idle = option(fd, IPPROTO_TCP, TCP_KEEPIDLE);
    QVERIFY(idle > 0 && idle + option(fd, IPPROTO_TCP, TCP_KEEPINTVL) * option(fd, IPPROTO_TCP, TCP_KEEPCNT) <= 30);
}

void DeadPeerTest::vanishedPeerFreesTheSecondServer()
{
    TestHost host;
    if (!host.ok)
        QSKIP("cannot make a network namespace here (needs root and iproute2)");
    TestHub hub;
    RelayCore &form = *hub.core;
    form.Text4[0]->setText(QStringLiteral("0"));
    form.Command5_Click(0);
    QVERIFY(form.Server2Armed);

    host.connectPeer(quint16(form.Winsock1[2]->LocalPort()));
    QVERIFY(waitUntil([&] { return form.Winsock1[2]->State() == Winsock::sckConnected; }, 10000));
    QCOMPARE(form.Winsock1[2]->RemoteHostIP(), host.m_host);

    QVERIFY(host.vanish());
    QElapsedTimer sinceVanished;
    sinceVanished.start();
    // No FIN, no reset: only the keepalive probes can tell. The error event
    // closes the endpoint and marks it red; the armed endpoint listens again.
    QVERIFY(waitUntil([&] { return form.Winsock1[2]->State() != Winsock::sckConnected; }, 40000));
    QVERIFY2(sinceVanished.elapsed() < 32000, qPrintable(QString::number(sinceVanished.elapsed())));
    QVERIFY(waitUntil([&] { return form.Winsock1[2]->State() == Winsock::sckListening; }, 10000));
    QVERIFY(hub.boxes.shown().isEmpty());
}

QTEST_GUILESS_MAIN(DeadPeerTest)
#include "tst_dead_peer.moc"
