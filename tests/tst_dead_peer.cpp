#include "platform/winsock.h"
#include "support/wait_until.h"

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
} // namespace

// A peer that vanishes without closing (cable pulled, host off) must not hold
// an endpoint forever: every connection probes its peer and fails within
// idle + interval * probes seconds (25 s), which the window handles as a
// socket error. Taking a real link down needs privileges this suite does not
// assume, so the probing itself is checked on the live descriptors.
class DeadPeerTest : public QObject
{
    Q_OBJECT

private slots:
    void connectionsProbeTheirPeers_data();
    void connectionsProbeTheirPeers();
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

QTEST_GUILESS_MAIN(DeadPeerTest)
#include "tst_dead_peer.moc"
