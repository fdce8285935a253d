// The window over the relay core: its startup layout, the controls mirroring
// the core both ways, the caption, the busy pointer and the port list.

#include "app/relay_window.h"
#include "app/twips.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/hub.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

namespace {

// A widget's rectangle in twips, relative to its parent.
QRect twipsOf(const QWidget *widget)
{
    const Twips tw(widget);
    const QRect px = widget->geometry();
    return {tw.toTwips(px.x()), tw.toTwips(px.y()), tw.toTwips(px.width()), tw.toTwips(px.height())};
}

// Twips round to whole pixels: one pixel of slack either way.
bool near(int twips, int expected)
{
    return std::abs(twips - expected) <= 15;
}

// Runs what the event queue holds now and what that queues in turn, so a
// handler queued by an event just sent has had its chance to run.
void drainQueue()
{
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents();
}

} // namespace

class RelayWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void startupLayout();
    void mirrorsBothWays();
    void scanRestoresPointerAndKeyboardSelects();
    void clickedRowSelectsOnce();
};

void RelayWindowTest::startupLayout()
{
    Hub hub;
    Form1 window(*hub.core);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QVERIFY(window.Frame3->isVisible() && window.Frame4->isVisible());
    QVERIFY(!window.Frame1->isVisible() && !window.Frame2->isVisible() && !window.Frame5->isVisible());
    QCOMPARE(window.Frame4->title(), QStringLiteral("TCP/IP Server"));
    const QRect serial = twipsOf(window.Frame3);
    QVERIFY2(near(serial.x(), 120) && near(serial.y(), 40), "Serial Bridge at 120, 40");
    QVERIFY(near(serial.width(), 5000) && near(serial.height(), 1485));
    const QRect server = twipsOf(window.Frame4);
    QVERIFY2(near(server.y() - (serial.y() + serial.height()), 40), "TCP/IP Server 40 below");
    QVERIFY(near(server.x(), 360) && near(server.width(), 4650));
    const Twips tw(&window);
    QVERIFY(near(tw.toTwips(window.frameGeometry().width()), 5340));
    QVERIFY(near(tw.toTwips(window.frameGeometry().height()), 4400));
}

// The core's changes show on the widgets; typing reaches the core; a click
// runs the core's handler; the caption follows.
void RelayWindowTest::mirrorsBothWays()
{
    Hub hub;
    RelayCore &core = *hub.core;
    Form1 window(core);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    core.Text2[1]->setText(QStringLiteral("10.0.0.9"));
    core.Text2[3]->setForeColor(UiColour::Blue);
    core.Text3->setBackColor(UiColour::Red);
    core.List4->setVisible(false);
    QCOMPARE(window.Text2[1]->text(), QStringLiteral("10.0.0.9"));
    QCOMPARE(window.Text2[3]->palette().color(QPalette::Text), QColor(0, 0, 255));
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
    Hub hub;
    RelayCore &core = *hub.core;
    Form1 window(core);
    window.show();
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

void RelayWindowTest::clickedRowSelectsOnce()
{
    Hub hub;
    RelayCore &core = *hub.core;
    Form1 window(core);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    core.Command4_Click();
    QCOMPARE(window.List3->count(), 1);

    const QPoint row = window.List3->visualItemRect(window.List3->item(0)).center();
    QTest::mouseClick(window.List3->viewport(), Qt::LeftButton, {}, row);
    drainQueue();
    QCOMPARE(hub.boxes.texts(), QStringList {QStringLiteral("Set to COM 4")});
    QCOMPARE(core.ComPort, qint16(4));
    QCOMPARE(core.List3->currentRow(), 0);
}

QTEST_MAIN(RelayWindowTest)
#include "tst_relay_window.moc"
