#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/winsock.h"
#include "support/loopback.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

// Listen and Close of the two server endpoints, and the connection request,
// peer close and error events. Each case runs for the gateway endpoint (0)
// and the second server endpoint (2), which share one procedure.
class ListenersTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listenOnFreePort_data();
    void listenOnFreePort();
    void emptyOrAlphabeticPortListensOnZero();
    void portHeldElsewhere_data();
    void portHeldElsewhere();
    void listenTwiceEqualsOnce();
    void closeTurnsRedAndKeepsCaptions();

    void peerIsAcceptedOnTheSameSocket_data();
    void peerIsAcceptedOnTheSameSocket();
    void peerCloseMarksEndpointLost_data();
    void peerCloseMarksEndpointLost();
    void errorClosesAndMarksRed();
    void clickedButtonsRunTheActions();

private:
    void click(int endpoint, int index);
    QLineEdit *portField(int endpoint) const;
    std::array<QPushButton *, 2> buttons(int endpoint) const;
    QString savedPort(int endpoint) const;

    std::unique_ptr<TestConfig> m_config;
    std::unique_ptr<ScriptedMessageBoxes> m_boxes;
    std::unique_ptr<Form1> m_form;
};

void ListenersTest::init()
{
    m_config = std::make_unique<TestConfig>();
    m_boxes = std::make_unique<ScriptedMessageBoxes>();
    m_form = std::make_unique<Form1>(*m_boxes, m_config->dir());
}

void ListenersTest::cleanup()
{
    m_form.reset();
    m_boxes.reset();
    m_config.reset();
}

void ListenersTest::click(int endpoint, int index)
{
    if (endpoint == 0)
        m_form->Command1_Click(index);
    else
        m_form->Command5_Click(index);
}

QLineEdit *ListenersTest::portField(int endpoint) const
{
    return endpoint == 0 ? m_form->Text1[0] : m_form->Text4[0];
}

std::array<QPushButton *, 2> ListenersTest::buttons(int endpoint) const
{
    return endpoint == 0 ? m_form->Command1 : m_form->Command5;
}

QString ListenersTest::savedPort(int endpoint) const
{
    return m_form->settings().read(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                                   endpoint == 0 ? QStringLiteral("LocalPort")
                                                 : QStringLiteral("LocalPort2"),
                                   QStringLiteral("(none)"));
}

static void addEndpoints()
{
    QTest::addColumn<int>("endpoint");
    QTest::newRow("gateway") << 0;
    QTest::newRow("second server") << 2;
}

void ListenersTest::listenOnFreePort_data()
{
    QTest::addColumn<int>("endpoint");
    QTest::addColumn<QString>("suffix");
    QTest::newRow("gateway") << 0 << QString();
    QTest::newRow("second server") << 2 << QString();
    QTest::newRow("gateway, letters after") << 0 << QStringLiteral("abc");
    QTest::newRow("second server, letters after") << 2 << QStringLiteral("abc");
}

void ListenersTest::listenOnFreePort()
{
    QFETCH(int, endpoint);
    QFETCH(QString, suffix);
    const quint16 port = freeLoopbackPort();
    portField(endpoint)->setText(QString::number(port) + suffix);
    click(endpoint, 0);

    QCOMPARE(m_form->Winsock1[endpoint]->State(), int(Winsock::sckListening));
    QCOMPARE(m_form->Winsock1[endpoint]->LocalPort(), int(port));
    QCOMPARE(savedPort(endpoint), QString::number(port));
    QCOMPARE(m_form->windowTitle(), QStringLiteral("Listening"));
    QCOMPARE(UiColour::backColor(portField(endpoint)), UiColour::Yellow);
    QCOMPARE(buttons(endpoint)[1]->text(), QStringLiteral("Stop Listening"));
    QVERIFY(buttons(endpoint)[1]->isEnabled());
    QCOMPARE(m_form->Server2Armed, endpoint == 2);
    QVERIFY(m_form->Timer1->isActive());
}

void ListenersTest::emptyOrAlphabeticPortListensOnZero()
{
    for (const QString &text : {QString(), QStringLiteral("abc")}) {
        portField(2)->setText(text);
        click(2, 0);
        QCOMPARE(m_form->Winsock1[2]->State(), int(Winsock::sckListening));
        // Port 0: the OS picked a port, and the text 0 was saved before listening.
        QVERIFY(m_form->Winsock1[2]->LocalPort() > 0);
        QCOMPARE(savedPort(2), QStringLiteral("0"));
    }
}

void ListenersTest::portHeldElsewhere_data()
{
    addEndpoints();
}

void ListenersTest::portHeldElsewhere()
{
    QFETCH(int, endpoint);
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    const QString title = m_form->windowTitle();
    const quint32 colour = UiColour::backColor(portField(endpoint));
    portField(endpoint)->setText(QString::number(holder.serverPort()));

    click(endpoint, 0);
    QCOMPARE(savedPort(endpoint), QString::number(holder.serverPort()));
    QCOMPARE(m_form->Winsock1[endpoint]->State(), int(Winsock::sckClosed));
    QCOMPARE(m_form->windowTitle(), title);
    QCOMPARE(UiColour::backColor(portField(endpoint)), colour);
    QCOMPARE(buttons(endpoint)[1]->text(), QStringLiteral("Close"));
    QVERIFY(!m_form->Server2Armed);
    QVERIFY(m_boxes->shown().isEmpty());
}

void ListenersTest::listenTwiceEqualsOnce()
{
    const quint16 port = freeLoopbackPort();
    portField(2)->setText(QString::number(port));
    click(2, 0);
    click(2, 0);
    QCOMPARE(m_form->Winsock1[2]->State(), int(Winsock::sckListening));
    QCOMPARE(m_form->Winsock1[2]->LocalPort(), int(port));
    QTcpSocket peer;
    peer.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(peer.waitForConnected(5000));
    QTRY_COMPARE_WITH_TIMEOUT(m_form->Winsock1[2]->State(), int(Winsock::sckConnected), 5000);
}

void ListenersTest::closeTurnsRedAndKeepsCaptions()
{
    // Close while nothing listens: red, nothing else.
    click(2, 1);
    QCOMPARE(UiColour::backColor(portField(2)), UiColour::Red);
    QCOMPARE(m_form->windowTitle(), QStringLiteral("Quaylight"));

    portField(2)->setText(QString::number(freeLoopbackPort()));
    click(2, 0);
    QVERIFY(m_form->Server2Armed);
    click(2, 1);
    QCOMPARE(m_form->Winsock1[2]->State(), int(Winsock::sckClosed));
    QCOMPARE(UiColour::backColor(portField(2)), UiColour::Red);
    QCOMPARE(buttons(2)[1]->text(), QStringLiteral("Stop Listening"));
    QCOMPARE(m_form->windowTitle(), QStringLiteral("Listening"));
    QVERIFY(!m_form->Server2Armed);
    QVERIFY(m_form->Timer1->isActive());
}

void ListenersTest::peerIsAcceptedOnTheSameSocket_data()
{
    addEndpoints();
}

void ListenersTest::peerIsAcceptedOnTheSameSocket()
{
    QFETCH(int, endpoint);
    const quint16 port = freeLoopbackPort();
    portField(endpoint)->setText(QString::number(port));
    click(endpoint, 0);

    QTcpSocket first;
    first.connectToHost(QStringLiteral("127.0.0.1"), port);
    QTRY_COMPARE_WITH_TIMEOUT(m_form->Winsock1[endpoint]->State(), int(Winsock::sckConnected), 5000);
    QCOMPARE(UiColour::backColor(portField(endpoint)), UiColour::Green);
    QCOMPARE(m_form->windowTitle(), QStringLiteral("Listening"));

    // The endpoint no longer listens: a second peer gets no connection.
    QTcpSocket second;
    QSignalSpy refused(&second, &QTcpSocket::errorOccurred);
    second.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(refused.wait(5000));
    QCOMPARE(m_form->Winsock1[endpoint]->State(), int(Winsock::sckConnected));
    QCOMPARE(first.state(), QAbstractSocket::ConnectedState);
}

void ListenersTest::peerCloseMarksEndpointLost_data()
{
    addEndpoints();
}

void ListenersTest::peerCloseMarksEndpointLost()
{
    QFETCH(int, endpoint);
    const quint16 port = freeLoopbackPort();
    portField(endpoint)->setText(QString::number(port));
    click(endpoint, 0);
    QTcpSocket peer;
    peer.connectToHost(QStringLiteral("127.0.0.1"), port);
    QTRY_COMPARE_WITH_TIMEOUT(m_form->Winsock1[endpoint]->State(), int(Winsock::sckConnected), 5000);

    peer.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(UiColour::backColor(portField(endpoint)), UiColour::Red, 5000);
    QCOMPARE(m_form->Winsock1[endpoint]->State(), int(Winsock::sckClosing));
    QCOMPARE(m_form->windowTitle(),
             endpoint == 0 ? QStringLiteral("TCP Server Closed") : QStringLiteral("Listening"));

    // Not listening any more until Listen runs again.
    QTcpSocket again;
    QSignalSpy refused(&again, &QTcpSocket::errorOccurred);
    again.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(refused.wait(5000));
}

void ListenersTest::errorClosesAndMarksRed()
{
    // A forwarder whose connect is refused reports an error event.
    const quint16 closedPort = freeLoopbackPort();
    Winsock &socket = *m_form->Winsock1[3];
    UiColour::setBackColor(m_form->Text2[5], UiColour::Yellow);
    socket.setRemoteHost(QStringLiteral("127.0.0.1"));
    socket.setRemotePort(closedPort);
    socket.Connect();
    QTRY_COMPARE_WITH_TIMEOUT(UiColour::backColor(m_form->Text2[5]), UiColour::Red, 5000);
    QCOMPARE(socket.State(), int(Winsock::sckClosed));
    QVERIFY(m_boxes->shown().isEmpty());
}

void ListenersTest::clickedButtonsRunTheActions()
{
    m_form->show();
    const quint16 port = freeLoopbackPort();
    portField(2)->setText(QString::number(port));
    QTest::mouseClick(m_form->Command5[0], Qt::LeftButton);
    QCOMPARE(m_form->Winsock1[2]->State(), int(Winsock::sckListening));
    QTest::mouseClick(m_form->Command5[1], Qt::LeftButton);
    QCOMPARE(m_form->Winsock1[2]->State(), int(Winsock::sckClosed));
    QVERIFY(!m_form->Server2Armed);
}

QTEST_MAIN(ListenersTest)
#include "tst_listeners.moc"
