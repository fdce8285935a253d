#include "app/relay_window.h"
#include "app/settings_store.h"
#include "app/twips.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "support/pty_device.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {
// A widget's rectangle in twips, relative to its parent.
QRect twipsOf(const QWidget *widget)
{
    const Twips tw(widget);
    const QRect px = widget->geometry();
    return QRect(tw.toTwips(px.x()), tw.toTwips(px.y()), tw.toTwips(px.width()),
                 tw.toTwips(px.height()));
}

// Twips round to whole pixels: one pixel of slack either way.
bool near(int twips, int expected)
{
    return std::abs(twips - expected) <= 15;
}
} // namespace

class RelayWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void startupWithEmptyStore();
    void startupShowsStoredValuesUnchanged();
    void valuesSurviveIntoTheNextWindow();
    void corruptStoreGivesDefaults();
    void exitReleasesSocketsAndPort();
    void closingByTheFrameReleasesEverything();
};

void RelayWindowTest::startupWithEmptyStore()
{
    TestConfig config;
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    form.show();

    QCOMPARE(form.windowTitle(), QStringLiteral("Quaylight"));
    QVERIFY(form.Frame3->isVisible());
    QVERIFY(form.Frame4->isVisible());
    QVERIFY(!form.Frame1->isVisible());
    QVERIFY(!form.Frame2->isVisible());
    QVERIFY(!form.Frame5->isVisible());
    QCOMPARE(form.Frame3->title(), QStringLiteral("Serial Bridge"));
    QCOMPARE(form.Frame4->title(), QStringLiteral("TCP/IP Server"));

    const QRect serial = twipsOf(form.Frame3);
    QVERIFY2(near(serial.x(), 120) && near(serial.y(), 40), "Serial Bridge at 120, 40");
    QVERIFY(near(serial.width(), 5000));
    QVERIFY(near(serial.height(), 1485));
    const QRect server = twipsOf(form.Frame4);
    QVERIFY2(near(server.y() - (serial.y() + serial.height()), 40), "TCP/IP Server 40 below");
    QVERIFY(near(server.x(), 360));
    QVERIFY(near(server.width(), 4650));
    QVERIFY(near(server.height(), 1800));
    const Twips tw(&form);
    QVERIFY(near(tw.toTwips(form.frameGeometry().width()), 5340));
    QVERIFY(near(tw.toTwips(form.frameGeometry().height()), 4400));
    // The client area starts below the menu bar.
    QVERIFY(form.centralWidget()->y() > 0);

    QCOMPARE(form.Text1[0]->text(), QStringLiteral("8080"));
    QCOMPARE(form.Text4[0]->text(), QStringLiteral("8080"));
    QCOMPARE(form.Text2[0]->text(), QStringLiteral("80"));
    QCOMPARE(form.Text2[5]->text(), QStringLiteral("80"));
    QVERIFY(!form.Text2[1]->text().isEmpty());
    QCOMPARE(form.Text2[4]->text(), form.Text2[1]->text());
    QCOMPARE(form.Text4[1]->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(form.ComPort, qint16(0));
    QCOMPARE(form.BaudRate, 19200);
    QVERIFY(form.Text3->text().isEmpty());
    QVERIFY(form.Timer1->isActive());
    QCOMPARE(form.Timer1->interval(), 3000);
    for (Winsock *socket : form.Winsock1)
        QCOMPARE(socket->State(), int(Winsock::sckClosed));
    QVERIFY(!form.Com1->PortOpen());
}

void RelayWindowTest::startupShowsStoredValuesUnchanged()
{
    TestConfig config;
    SettingsStore store(config.dir());
    const auto put = [&](const char *application, const char *key, const QString &value) {
        store.write(QLatin1String(application), QStringLiteral("startup"), QLatin1String(key), value);
    };
    put("Harborcast", "LocalPort", QStringLiteral("not a port"));
    put("Harborcast", "LocalPort2", QStringLiteral(" 8082abc "));
    put("Harborcast", "RemoteHost", QStringLiteral("h\u00f4st..invalid"));
    put("Harborcast", "RemotePort", QStringLiteral("99999999999"));
    put("Harborcast", "RemoteHost3", QStringLiteral("10.0.0.9"));
    put("Harborcast", "RemotePort3", QString());
    put("Tolvar", "ComPort", QStringLiteral("3"));

    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    QCOMPARE(form.Text1[0]->text(), QStringLiteral("not a port"));
    QCOMPARE(form.Text4[0]->text(), QStringLiteral(" 8082abc "));
    QCOMPARE(form.Text2[1]->text(), QStringLiteral("h\u00f4st..invalid"));
    QCOMPARE(form.Text2[0]->text(), QStringLiteral("99999999999"));
    QCOMPARE(form.Text2[4]->text(), QStringLiteral("10.0.0.9"));
    QCOMPARE(form.Text2[5]->text(), QString());
    // The chosen serial port is never restored.
    QCOMPARE(form.ComPort, qint16(0));
    QVERIFY(form.Text3->text().isEmpty());
    QVERIFY(boxes.shown().isEmpty());
}

void RelayWindowTest::valuesSurviveIntoTheNextWindow()
{
    TestConfig config;
    ScriptedMessageBoxes boxes;
    {
        Form1 first(boxes, config.dir());
        first.settings().write(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                               QStringLiteral("LocalPort2"), QStringLiteral("9123"));
    }
    Form1 second(boxes, config.dir());
    QCOMPARE(second.Text4[0]->text(), QStringLiteral("9123"));
}

void RelayWindowTest::corruptStoreGivesDefaults()
{
    TestConfig config;
    QFile file(config.dir() + QStringLiteral("/Harborcast.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    static const char garbage[] = "\x00\xff[startup\nLocalPort2=1, 2\n\x01";
    file.write(garbage, sizeof garbage - 1);
    file.close();
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    QCOMPARE(form.Text4[0]->text(), QStringLiteral("8080"));
    QCOMPARE(form.Text2[0]->text(), QStringLiteral("80"));
}

void RelayWindowTest::exitReleasesSocketsAndPort()
{
    TestConfig config;
    PtyDevice device;
    QVERIFY(device.isValid());
    config.pinPorts({{2, device.slavePath()}});
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());

    // A peer on the second server endpoint and one on the gateway endpoint.
    form.Winsock1[0]->setLocalPort(0);
    form.Winsock1[0]->Listen();
    form.Winsock1[2]->setLocalPort(0);
    form.Winsock1[2]->Listen();
    QTcpSocket gateway;
    QTcpSocket peer;
    gateway.connectToHost(QStringLiteral("127.0.0.1"), quint16(form.Winsock1[0]->LocalPort()));
    peer.connectToHost(QStringLiteral("127.0.0.1"), quint16(form.Winsock1[2]->LocalPort()));
    QTRY_COMPARE_WITH_TIMEOUT(form.Winsock1[0]->State(), int(Winsock::sckConnected), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(form.Winsock1[2]->State(), int(Winsock::sckConnected), 5000);

    form.Com1->setCommPort(2);
    form.Com1->setPortOpen(true);
    QVERIFY(form.Com1->PortOpen());

    QSignalSpy ended(&form, &Form1::programEnded);
    QSignalSpy gatewayGone(&gateway, &QTcpSocket::disconnected);
    QSignalSpy peerGone(&peer, &QTcpSocket::disconnected);
    form.mnuExit_Click();
    QCOMPARE(ended.count(), 1);
    QVERIFY(!form.Com1->PortOpen());
    for (Winsock *socket : form.Winsock1)
        QCOMPARE(socket->State(), int(Winsock::sckClosed));
    QVERIFY(gatewayGone.count() > 0 || gatewayGone.wait(5000));
    QVERIFY(peerGone.count() > 0 || peerGone.wait(5000));

    // The device is free again: another program can open it.
    SerialComm other(form.ports());
    other.setCommPort(2);
    other.setPortOpen(true);
    QVERIFY(other.PortOpen());
}

void RelayWindowTest::closingByTheFrameReleasesEverything()
{
    TestConfig config;
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    form.show();
    form.Winsock1[2]->setLocalPort(0);
    form.Winsock1[2]->Listen();
    const quint16 port = quint16(form.Winsock1[2]->LocalPort());
    QVERIFY(form.close());
    QCOMPARE(form.Winsock1[2]->State(), int(Winsock::sckClosed));
    QTcpSocket late;
    QSignalSpy failed(&late, &QTcpSocket::errorOccurred);
    late.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(failed.wait(5000));
    QCOMPARE(late.error(), QAbstractSocket::ConnectionRefusedError);
}

QTEST_MAIN(RelayWindowTest)
#include "tst_relay_window.moc"
