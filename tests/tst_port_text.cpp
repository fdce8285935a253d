#include "platform/component_error.h"
#include "relay/port_text.h"

#include <QTest>

// The two conversions of a port field's text: lenient for Listen, strict
// for Connect. -1 as the expected code means "converts".
class PortTextTest : public QObject
{
    Q_OBJECT

private slots:
    void listenPort_data();
    void listenPort();
    void connectPort_data();
    void connectPort();
};

void PortTextTest::listenPort_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("errorCode");

    QTest::newRow("plain") << QStringLiteral("8082") << 8082 << -1;
    QTest::newRow("trailing letters") << QStringLiteral("8082abc") << 8082 << -1;
    QTest::newRow("empty") << QString() << 0 << -1;
    QTest::newRow("letters first") << QStringLiteral("abc8082") << 0 << -1;
    QTest::newRow("blanks inside") << QStringLiteral(" 80 8\t2\n") << 8082 << -1;
    QTest::newRow("half to even down") << QStringLiteral("8082.5") << 8082 << -1;
    QTest::newRow("half to even up") << QStringLiteral("8083.5") << 8084 << -1;
    QTest::newRow("fraction rounds") << QStringLiteral("8082.51") << 8083 << -1;
    QTest::newRow("leading dot") << QStringLiteral(".7") << 1 << -1;
    QTest::newRow("sign only") << QStringLiteral("-") << 0 << -1;
    QTest::newRow("negative") << QStringLiteral("-5") << -5 << -1;
    QTest::newRow("second dot stops") << QStringLiteral("80.4.9") << 80 << -1;
    QTest::newRow("int32 max") << QStringLiteral("2147483647") << 2147483647 << -1;
    QTest::newRow("int32 min") << QStringLiteral("-2147483648") << int(-2147483648LL) << -1;
    QTest::newRow("above int32") << QStringLiteral("2147483648") << 0 << OverflowCode;
    QTest::newRow("far above") << QStringLiteral("99999999999999999999999") << 0 << OverflowCode;
    QTest::newRow("rounds over the edge") << QStringLiteral("2147483647.5") << 0 << OverflowCode;
}

void PortTextTest::listenPort()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    QFETCH(int, errorCode);
    try {
        const qint32 value = listenPortFromText(text);
        QCOMPARE(errorCode, -1);
        QCOMPARE(value, port);
    } catch (const ComponentError &error) {
        QCOMPARE(error.code(), errorCode);
    }
}

void PortTextTest::connectPort_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("errorCode");

    QTest::newRow("plain") << QStringLiteral("80") << 80 << -1;
    QTest::newRow("surrounding blanks") << QStringLiteral(" 80 ") << 80 << -1;
    QTest::newRow("half to even down") << QStringLiteral("80.5") << 80 << -1;
    QTest::newRow("half to even up") << QStringLiteral("81.5") << 82 << -1;
    QTest::newRow("empty") << QString() << 0 << TypeMismatchCode;
    QTest::newRow("blank only") << QStringLiteral("  ") << 0 << TypeMismatchCode;
    QTest::newRow("letters") << QStringLiteral("abc") << 0 << TypeMismatchCode;
    QTest::newRow("trailing letters") << QStringLiteral("8082abc") << 0 << TypeMismatchCode;
    QTest::newRow("blank inside") << QStringLiteral("80 82") << 0 << TypeMismatchCode;
    QTest::newRow("too large") << QStringLiteral("99999999999") << 0 << OverflowCode;
    QTest::newRow("negative passes conversion") << QStringLiteral("-1") << -1 << -1;
}

void PortTextTest::connectPort()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    QFETCH(int, errorCode);
    try {
        const qint32 value = connectPortFromText(text);
        QCOMPARE(errorCode, -1);
        QCOMPARE(value, port);
    } catch (const ComponentError &error) {
        QCOMPARE(error.code(), errorCode);
    }
}

QTEST_GUILESS_MAIN(PortTextTest)
#include "tst_port_text.moc"
