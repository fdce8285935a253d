#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"
#include "support/wait_until.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {
int option(qintptr fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    if (::getsockopt(int(fd), level, name, &value, &size) != 0)
        return -1;
    return value;
}

bool run(const QString &command)
{
    return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command}) == 0;
}

// A test host in a network namespace of its own, joined to this one by a
// veth pair on a private /30; names and subnet are this run's own, so runs
// side by side do not meet. Taking the link down makes the host vanish
// without a FIN or a reset, as a pulled cable does.
class TestHost
{
public:
    TestHost()
    {
        const qint64 pid = QCoreApplication::applicationPid();
        m_name = QStringLiteral("qlt%1").arg(pid);
        m_link = QStringLiteral("qlh%1").arg(pid % 100000000);
        const qint64 third = pid % 256;
        const qint64 base = 4 * ((pid / 256) % 64);
        m_hub = QStringLiteral("10.213.%1.%2").arg(third).arg(base + 1);
        m_host = QStringLiteral("10.213.%1.%2").arg(third).arg(base + 2);
        m_ok = run(QStringLiteral("ip netns add %1 && ip link add %2 type veth peer name %2p"
                                  " && ip link set %2p netns %1"
                                  " && ip addr add %3/30 dev %2 && ip link set %2 up"
                                  " && ip -n %1 addr add %4/30 dev %2p"
                                  " && ip -n %1 link set %2p up && ip -n %1 link set lo up")
                       .arg(m_name, m_link, m_hub, m_host));
    }
    ~TestHost()
    {
        m_peer.kill();
        m_peer.waitForFinished(5000);
        run(QStringLiteral("ip link del %1 2>/dev/null; ip netns del %2 2>/dev/null").arg(m_link, m_name));
    }
    [[nodiscard]] bool ok() const { return m_ok; }
    [[nodiscard]] const QString &hubAddress() const { return m_hub; }
    [[nodiscard]] const QString &hostAddress() const { return m_host; }

    // A peer on the host that connects to the hub and then just stays.
    void connectPeer(quint16 port)
    {
        m_peer.start(QStringLiteral("ip"),
                     {QStringLiteral("netns"), QStringLiteral("exec"), m_name, QStringLiteral("bash"),
                      QStringLiteral("-c"),
                      QStringLiteral("exec 3<>/dev/tcp/%1/%2 && exec sleep 120").arg(hubAddress()).arg(port)});
    }
    // Pulls the cable.
    bool vanish() { return run(QStringLiteral("ip link set %1 down").arg(m_link)); }

private:
    QString m_name;
    QString m_link;
    QString m_hub;
    QString m_host;
    bool m_ok = false;
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
    void connectionsProbeTheirPeers_data();
    void connectionsProbeTheirPeers();
    void vanishedPeerFreesTheSecondServer();
};

void DeadPeerTest::connectionsProbeTheirPeers_data()
{
    QTest::addColumn<bool>("accepted");
    QTest::newRow("accepted by a listener") << true;
    QTest::newRow("connected to a server") << false;
}

void DeadPeerTest::connectionsProbeTheirPeers()
{
    QFETCH(bool, accepted);
    Winsock socket;
    QTcpServer server;
    QTcpSocket peer;
    if (accepted) {
        QObject::connect(&socket, &Winsock::ConnectionRequest, &socket, [&](qint32 id) {
            socket.Close();
            socket.Accept(id);
        });
        socket.setLocalPort(0);
        socket.Listen();
        peer.connectToHost(QHostAddress::LocalHost, quint16(socket.LocalPort()));
    } else {
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        socket.setRemoteHost(QStringLiteral("127.0.0.1"));
        socket.setRemotePort(server.serverPort());
        socket.Connect();
    }
    QVERIFY(waitUntil([&] { return socket.State() == Winsock::sckConnected; }));

    const qintptr fd = socket.SocketHandle();
    QVERIFY(fd >= 0);
    QCOMPARE(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE(option(fd, IPPROTO_TCP, TCP_KEEPIDLE), Winsock::KeepAliveIdleSeconds);
    QCOMPARE(option(fd, IPPROTO_TCP, TCP_KEEPINTVL), Winsock::KeepAliveIntervalSeconds);
    QCOMPARE(option(fd, IPPROTO_TCP, TCP_KEEPCNT), Winsock::KeepAliveProbes);
    QCOMPARE(option(fd, IPPROTO_TCP, TCP_NODELAY), 1);
}

void DeadPeerTest::vanishedPeerFreesTheSecondServer()
{
    TestHost host;
    if (!host.ok())
        QSKIP("cannot make a network namespace here (needs root and iproute2)");
    Hub hub;
    RelayCore &form = *hub.core;
    form.Text4[0]->setText(QStringLiteral("0"));
    form.Command5_Click(0);
    QVERIFY(form.Server2Armed);

    host.connectPeer(quint16(form.Winsock1[2]->LocalPort()));
    QVERIFY(waitUntil([&] { return form.Winsock1[2]->State() == Winsock::sckConnected; }, 10000));
    QCOMPARE(form.Winsock1[2]->RemoteHostIP(), host.hostAddress());

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
