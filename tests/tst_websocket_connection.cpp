// A browser's terminal as a peer connection: a QWebSocket pair on loopback,
// the server side wrapped as the relay sees it.
#include "platform/websocket_connection.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

class TstWebSocketConnection : public QObject
{
    Q_OBJECT

private:
    // The client, connected, and the server side as a WebSocketConnection.
    struct Pair {
        std::unique_ptr<QWebSocket> client;
        std::unique_ptr<WebSocketConnection> peer;
    };
    Pair connectPair()
    {
        Pair pair;
        QTcpSocket *transport = nullptr;
        QWebSocket *accepted = nullptr;
        connect(&m_tcp, &QTcpServer::newConnection, this, [&] {
            transport = m_tcp.nextPendingConnection();
            m_upgrader.handleConnection(transport);
        }, Qt::SingleShotConnection);
        connect(&m_upgrader, &QWebSocketServer::newConnection, this,
                [&] { accepted = m_upgrader.nextPendingConnection(); }, Qt::SingleShotConnection);
        pair.client = std::make_unique<QWebSocket>();
        pair.client->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/hubs/x/terminal").arg(m_tcp.serverPort())));
        if (!QTest::qWaitFor([&] { return accepted && pair.client->state() == QAbstractSocket::ConnectedState; }))
            return pair;
        pair.peer = std::make_unique<WebSocketConnection>(accepted, transport);
        return pair;
    }

    QTcpServer m_tcp;
    QWebSocketServer m_upgrader {QStringLiteral("test"), QWebSocketServer::NonSecureMode};

private slots:
    void initTestCase() { QVERIFY(m_tcp.listen(QHostAddress::LocalHost)); }

    // Paused, the peer's bytes stay in TCP: the client is held back and no
    // DataArrival comes; resumed, everything arrives once, in order.
    void pausedReceiptHoldsTheClientBack()
    {
        Pair pair = connectPair();
        QVERIFY(pair.peer);
        QSignalSpy arrivals(pair.peer.get(), &Connection::DataArrival);
        pair.peer->setReceivePaused(true);
        QByteArray sent;
        for (int i = 0; i < 1024; ++i) {
            const QByteArray chunk(16 * 1024, char('a' + i % 26));
            sent += chunk;
            pair.client->sendBinaryMessage(chunk);
        }
        // 16 MiB cannot all fit in the kernel's buffers and the paused
        // 64 KiB: the client is left with a backlog that stops going down.
        qint64 last = -1;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     const qint64 now = pair.client->bytesToWrite();
                                     const bool still = now == last;
                                     last = now;
                                     return still && now > 0;
                                 }()),
                                 10000);
        QVERIFY2(last > 1024 * 1024, qPrintable(QString::number(last)));
        QCOMPARE(arrivals.count(), 0);
        QVERIFY2(pair.peer->BytesReceived() < sent.size() / 2,
                 qPrintable(QString::number(pair.peer->BytesReceived())));
        pair.peer->setReceivePaused(false);
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += pair.peer->GetData(), got.size() == sent.size()), 20000);
        QCOMPARE(got, sent);
        QVERIFY(arrivals.count() > 0);
    }

    // The backlog is what the WebSocket still holds; BytesSent tells it go
    // down to nothing. Gathered bytes go as one message when gathering ends.
    void backlogAndGathering()
    {
        Pair pair = connectPair();
        QVERIFY(pair.peer);
        QByteArray received;
        int messages = 0;
        connect(pair.client.get(), &QWebSocket::binaryMessageReceived, this,
                [&](const QByteArray &m) { received += m, ++messages; });
        QSignalSpy sentSpy(pair.peer.get(), &Connection::BytesSent);
        pair.peer->setGathering(true);
        pair.peer->SendData("one ");
        pair.peer->SendData("two");
        QCOMPARE(pair.peer->BytesToSend(), 7);
        pair.peer->setGathering(false);
        const QByteArray big(2 * 1024 * 1024, 'z');
        pair.peer->SendData(big);
        QVERIFY(pair.peer->BytesToSend() > 0);
        QTRY_COMPARE_WITH_TIMEOUT(pair.peer->BytesToSend(), 0, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 7 + big.size(), 20000);
        QCOMPARE(received.left(7), QByteArray("one two"));
        QCOMPARE(messages, 2);
        QVERIFY(!sentSpy.isEmpty());
    }

    // The browser going away is the peer closing; Close ends it at once.
    void closes()
    {
        Pair pair = connectPair();
        QVERIFY(pair.peer);
        QSignalSpy closed(pair.peer.get(), &Connection::PeerClosed);
        QCOMPARE(pair.peer->State(), 7);
        pair.client->close();
        QVERIFY(closed.wait(5000));
        QCOMPARE(pair.peer->State(), 8);
        QVERIFY(!pair.peer->CanSend());
        pair.peer->Close();
        QCOMPARE(pair.peer->State(), 0);
    }
};

QTEST_GUILESS_MAIN(TstWebSocketConnection)
#include "tst_websocket_connection.moc"
