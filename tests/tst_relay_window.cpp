// The window over the relay core: its startup layout, the controls mirroring
// the core both ways, the caption, the busy pointer and the port list; the
// window's event dispatcher (window-system events, nested loops).

#include "app/relay_window.h"
#include "app/settings_dialog.h"
#include "app/twips.h"
#include "app/window_dispatcher.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <qpa/qwindowsysteminterface.h>

namespace {

// The hub with its window shown.
struct Shown {
    TestHub hub;
    RelayCore &core = *hub.core;
    Form1 window {core};
    Shown() { window.show(); }
};

} // namespace

class RelayWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void layouts();
    void mirrorsBothWays();
    void scanRestoresPointerAndKeyboardSelects();
    void settingsTurnTlsOnAtOnce();
    void windowSystemEventsInTheirPass();
    void modalBoxKeepsTheRelayRunning();
};

// The startup layout shows the serial bridge and the TCP/IP Server only, in
// their design places; "All endpoints" shows the other three groups as
// designed, is remembered, and off again is the startup layout.
void RelayWindowTest::layouts()
{
    Shown shown;
    Form1 &window = shown.window;
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const Twips tw(&window);
    const auto startup = [&] {
        QVERIFY(window.Frame3->isVisible() && window.Frame4->isVisible());
        QVERIFY(!window.Frame1->isVisible() && !window.Frame2->isVisible() && !window.Frame5->isVisible());
        QCOMPARE(window.Frame4->title(), QStringLiteral("TCP/IP Server"));
        QCOMPARE(window.Frame3->geometry(), tw.toPixels(120, 40, 5000, 1485));
        QCOMPARE(window.Frame4->geometry(), tw.toPixels(360, 1565, 4650, 1800));
        QCOMPARE(window.frameGeometry().size(), QSize(tw.toPixels(5340), tw.toPixels(4400)));
    };
    startup();

    window.mnuAllEndpoints->trigger();
    for (QGroupBox *frame : {window.Frame1, window.Frame2, window.Frame3, window.Frame4, window.Frame5})
        QVERIFY(frame->isVisible());
    QCOMPARE(window.Frame1->geometry(), tw.toPixels(360, 120, 4650, 1800));
    QCOMPARE(window.Frame5->geometry(), tw.toPixels(360, 3960, 4650, 1800));
    QCOMPARE(window.Frame4->geometry(), tw.toPixels(5400, 1725, 4650, 1800));
    QCOMPARE(window.frameGeometry().size(), QSize(tw.toPixels(10700), tw.toPixels(6200)));
    Form1 again(shown.core); // the next start shows them too
    QVERIFY(again.mnuAllEndpoints->isChecked() && !again.Frame1->isHidden());

    window.mnuAllEndpoints->trigger();
    startup();
}

// The core's changes show on the widgets; typing reaches the core; a click
// runs the core's handler; the caption follows.
void RelayWindowTest::mirrorsBothWays()
{
    Shown shown;
    auto &[hub, core, window] = shown;
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    core.Text2[1]->setText(QStringLiteral("10.0.0.9"));
    core.Text3->setBackColor(UiColour::Red);
    core.List4->setVisible(false);
    QCOMPARE(window.Text2[1]->text(), QStringLiteral("10.0.0.9"));
    QCOMPARE(window.Text3->palette().color(QPalette::Base), QColor(255, 0, 0));
    QVERIFY(window.List4->isHidden());
    core.setCaption(QStringLiteral("from the core"));
    QCOMPARE(window.windowTitle(), QStringLiteral("from the core"));

    window.Text4[0]->clear();
    QTest::keyClicks(window.Text4[0], QStringLiteral("0"));
    QCOMPARE(core.Text4[0]->text(), QStringLiteral("0"));

    QTest::mouseClick(window.Command5[0], Qt::LeftButton);
    QCOMPARE(core.Winsock1[2]->State(), int(Winsock::sckListening));
    QCOMPARE(window.Text4[0]->palette().color(QPalette::Base), QColor(255, 255, 0));
    QCOMPARE(window.Command5[1]->text(), QStringLiteral("Stop Listening"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Listening"));
}

// The hourglass shows during the scan and is gone after it; the arrow keys
// on the list choose a port as a click does.
void RelayWindowTest::scanRestoresPointerAndKeyboardSelects()
{
    Shown shown;
    auto &[hub, core, window] = shown;
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    bool hourglass = false;
    connect(&core, &RelayCore::busyChanged, this, [&](bool busy) {
        const QCursor *cursor = QGuiApplication::overrideCursor();
        hourglass = hourglass || (busy && cursor && cursor->shape() == Qt::WaitCursor);
    });
    QTest::mouseClick(window.Command4, Qt::LeftButton);
    QVERIFY(hourglass);
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(window.List3->count(), 1);
    QCOMPARE(core.ComPort, qint16(0));

    QTest::keyClick(window.List3, Qt::Key_Down);
    QTRY_COMPARE(hub.boxes.texts(), QStringList {QStringLiteral("Set to COM 4")});
    QCOMPARE(core.ComPort, qint16(4));
}

// "Both servers speak TLS only" ticked in Settings: without a certificate
// OK is refused in the dialog, naming the field; with one, the plain peer is
// closed at once and the TCP/IP Server takes TLS clients only.
void RelayWindowTest::settingsTurnTlsOnAtOnce()
{
    QTemporaryDir folder;
    const QString certificate = folder.filePath(QStringLiteral("hub.pem"));
    const QString key = folder.filePath(QStringLiteral("hub.key"));
    QCOMPARE(QProcess::execute(QStringLiteral("openssl"),
                               {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                                QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes"),
                                QStringLiteral("-keyout"), key, QStringLiteral("-out"), certificate,
                                QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                QStringLiteral("/CN=hub")}),
             0);
    Shown shown;
    auto &[hub, core, window] = shown;
    QVERIFY(hub.openSerial());
    const std::unique_ptr<Peer> plain = hub.connectToListener(2);
    QVERIFY(plain);
    const quint16 port = quint16(core.Winsock1[2]->LocalPort());
    plain->send("in clear");
    QTRY_COMPARE(hub.device.received(), QByteArray("in clear"));

    QStringList refusals;
    const auto fill = [&](const QString &file) {
        auto *dialog = qobject_cast<SettingsDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->tlsEnabled->setChecked(true);
        dialog->tlsCertificate->setText(file);
        dialog->tlsPrivateKey->setText(key);
        if (file.isEmpty()) { // the refusal is a box over the dialog
            QTimer::singleShot(0, this, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                QVERIFY(box);
                refusals.append(box->text());
                box->accept();
            });
        }
        dialog->accept();
        if (file.isEmpty()) {
            QVERIFY(dialog->isVisible());
            dialog->reject();
        }
    };
    QTimer::singleShot(0, this, [&] { fill(QString()); });
    window.mnuSettings_Click();
    QCOMPARE(refusals, QStringList {QStringLiteral("\"Both servers speak TLS only\" needs a file in \"TLS certificate\".")});
    QVERIFY(!core.tlsSettings().enabled);
    QCOMPARE(plain->socket->state(), QAbstractSocket::ConnectedState);

    QTimer::singleShot(0, this, [&] { fill(certificate); });
    window.mnuSettings_Click();
    QVERIFY(core.tlsSettings().enabled);
    QTRY_COMPARE(plain->socket->state(), QAbstractSocket::UnconnectedState);
    core.Timer1_Timer(); // listens again, with TLS now
    QVERIFY(core.Winsock1[2]->ListeningWithTls());
    QCOMPARE(core.Winsock1[2]->LocalPort(), port);

    Peer late(new QTcpSocket);
    late.socket->connectToHost(QStringLiteral("127.0.0.1"), port);
    late.send("GET / HTTP/1.0\r\n\r\n");
    QTRY_COMPARE(late.socket->state(), QAbstractSocket::UnconnectedState);
    QSslSocket sealed;
    sealed.setPeerVerifyMode(QSslSocket::VerifyNone);
    sealed.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    QSignalSpy encrypted(&sealed, &QSslSocket::encrypted); // the hub runs on this thread
    QVERIFY(encrypted.wait(5000));
    sealed.write("sealed");
    QTRY_COMPARE(hub.device.received(), QByteArray("in clear") + "sealed");
}

// The window runs on the relay's dispatcher, which delivers the events the
// platform queues in the pass they were queued for, holds input back from a
// pass that excludes it, and (X11) reads what the X server sends.
void RelayWindowTest::windowSystemEventsInTheirPass()
{
    const bool qtOwn = qEnvironmentVariable("QUAYLIGHT_EVENT_DISPATCHER") == QLatin1String("unix");
    auto *dispatcher = qobject_cast<WindowDispatcher *>(QAbstractEventDispatcher::instance());
    QCOMPARE(dispatcher != nullptr, !qtOwn);
    QLineEdit edit;
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    edit.setFocus();
    QWindow *window = edit.windowHandle();
    const QSize before = edit.size();
    const QSize after = before + QSize(31, 17);

    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, QEvent::KeyPress, Qt::Key_Q, Qt::NoModifier, QStringLiteral("q"));
    QWindowSystemInterface::handleGeometryChange<QWindowSystemInterface::AsynchronousDelivery>(
        window, QRect(window->position(), after));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QCOMPARE(edit.size(), after);
    QCOMPARE(edit.text(), QString());
    QCoreApplication::processEvents();
    QCOMPARE(edit.text(), QStringLiteral("q"));

    if (QGuiApplication::platformName() == QLatin1String("xcb") && dispatcher) {
        // The X server's answer comes through the platform's reader thread.
        QCOMPARE(dispatcher->platformHelper(), QByteArray("QXcbUnixEventDispatcher"));
        const QSize third = before + QSize(57, 9);
        window->resize(third);
        QTRY_COMPARE(edit.size(), third);
    } else if (dispatcher) {
        QCOMPARE(dispatcher->platformHelper(), QByteArray());
    }
}

// A modal box's own event loop goes on relaying, and a key from the window
// system closes it.
void RelayWindowTest::modalBoxKeepsTheRelayRunning()
{
    Shown shown;
    auto &[hub, core, window] = shown;
    QVERIFY(hub.openSerial());
    const std::unique_ptr<Peer> peer = hub.connectToListener(0);
    QVERIFY(peer);
    QMessageBox box(QMessageBox::Information, QStringLiteral("Quaylight"), QStringLiteral("modal"),
                    QMessageBox::Ok, &window);
    QByteArray seenInBox;
    QTimer watch; // runs in the box's loop
    connect(&watch, &QTimer::timeout, &box, [&] {
        if (seenInBox.isNull()) {
            seenInBox = "";
            hub.device.send(QByteArray(3000, 'm'));
            peer->send("to device");
        } else if (peer->received.size() == 3000 && hub.device.received() == "to device") {
            seenInBox = peer->received;
            QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
                box.windowHandle(), QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        }
    });
    watch.start(5);
    QTimer::singleShot(10000, &box, &QMessageBox::reject); // a stuck relay fails below
    box.exec();
    QCOMPARE(seenInBox, QByteArray(3000, 'm'));
}

QTEST_MAIN(RelayWindowTest)
#include "tst_relay_window.moc"
