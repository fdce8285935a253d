// The socket state display: text and colours for every state number, and
// what the supervision tick shows on a fresh start.

#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QLineEdit>
#include <QTimer>
#include <QtTest>

class tst_StateDisplay : public QObject
{
    Q_OBJECT

private slots:
    void stateTable_data();
    void stateTable();
    void missingFieldStillGetsText();
    void freshStartShowsClosedEverywhere();
};

void tst_StateDisplay::stateTable_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    QTest::addColumn<quint32>("fore");
    QTest::addColumn<quint32>("back");

    // Fields start painted 0x123456 on 0x654321, so "unchanged" is visible.
    constexpr quint32 OldFore = 0x123456;
    constexpr quint32 OldBack = 0x654321;
    using namespace UiColour;
    QTest::newRow("0 closed") << 0 << QStringLiteral("Socket Closed") << White << NearBlack;
    QTest::newRow("1 open") << 1 << QStringLiteral("Socket Open") << Black << White;
    QTest::newRow("2 listening") << 2 << QStringLiteral("Listening") << Black << Yellow;
    QTest::newRow("3 pending") << 3 << QStringLiteral("Connection Pending") << Black << Blue;
    QTest::newRow("4 resolving") << 4 << QStringLiteral("Resolving Host") << Black << Yellow;
    QTest::newRow("5 resolved") << 5 << QStringLiteral("Host Resolved") << White << Blue;
    QTest::newRow("6 connecting") << 6 << QStringLiteral("Connecting") << Black << Yellow;
    QTest::newRow("7 connected") << 7 << QStringLiteral("Connected") << Black << Green;
    QTest::newRow("8 closing") << 8 << QStringLiteral("Peer is Closing Connection") << White << Red;
    QTest::newRow("9 error") << 9 << QStringLiteral("Socket Error") << Yellow << Red;
    QTest::newRow("10 unknown") << 10 << QString() << OldFore << OldBack;
    QTest::newRow("255 unknown") << 255 << QString() << OldFore << OldBack;
}

void tst_StateDisplay::stateTable()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QFETCH(quint32, fore);
    QFETCH(quint32, back);

    TestConfig config;
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    form.Timer1->stop();

    QLineEdit field;
    field.setText(QStringLiteral("untouched"));
    UiColour::setForeColor(&field, 0x123456);
    UiColour::setBackColor(&field, 0x654321);

    const quint8 number = quint8(state);
    const QString shown = form.WinsockStateDisplay(number, &field);
    QCOMPARE(shown, text);
    QCOMPARE(UiColour::foreColor(&field), fore);
    QCOMPARE(UiColour::backColor(&field), back);
    QCOMPARE(field.text(), QStringLiteral("untouched"));
}

void tst_StateDisplay::missingFieldStillGetsText()
{
    TestConfig config;
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    form.Timer1->stop();
    QCOMPARE(form.WinsockStateDisplay(quint8(9), nullptr), QStringLiteral("Socket Error"));
}

void tst_StateDisplay::freshStartShowsClosedEverywhere()
{
    TestConfig config;
    ScriptedMessageBoxes boxes;
    Form1 form(boxes, config.dir());
    form.Timer1->stop();
    form.Text2[2]->setText(QStringLiteral("0")); // a bare number left by a Close press

    form.Timer1_Timer();

    const std::pair<QLineEdit *, QLineEdit *> rows[] = {
        {form.Text1[0], form.Text1[1]},
        {form.Text2[0], form.Text2[2]},
        {form.Text2[5], form.Text2[3]},
        {form.Text4[0], form.Text4[2]},
    };
    for (const auto &[colourField, statusField] : rows) {
        QCOMPARE(statusField->text(), QStringLiteral("Socket Closed"));
        QCOMPARE(UiColour::foreColor(colourField), UiColour::White);
        QCOMPARE(UiColour::backColor(colourField), UiColour::NearBlack);
    }
    // The address shown in the second server group is not a status field.
    QCOMPARE(form.Text4[1]->text(), QStringLiteral("127.0.0.1"));
}

QTEST_MAIN(tst_StateDisplay)
#include "tst_state_display.moc"
