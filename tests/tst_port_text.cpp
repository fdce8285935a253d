#include "platform/component_error.h"
#include "relay/port_text.h"

#include <QTest>

// The two conversions of a port field's text: lenient for Listen, strict
// for Connect. -1 as the expected code means "converts".
class PortTextTest : public QObject
{
    Q_OBJECT

private slots:
    void conversion_data();
    void conversion();
};

void PortTextTest::conversion_data()
{
    QTest::addColumn<bool>("strict"); // the Connect conversion, else Listen's
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("errorCode");

    QTest::newRow("listen: plain") << false << QStringLiteral("8082") << 8082 << -1;
    QTest::newRow("listen: trailing letters") << false << QStringLiteral("8082abc") << 8082 << -1;
    QTest::newRow("listen: empty") << false << QString() << 0 << -1;
    QTest::newRow("listen: letters first") << false << QStringLiteral("abc8082") << 0 << -1;
    QTest::newRow("listen: blanks inside") << false << QStringLiteral(" 80 8\t2\n") << 8082 << -1;
    QTest::newRow("listen: half to even down") << false << QStringLiteral("8082.5") << 8082 << -1;
    QTest::newRow("listen: half to even up") << false << QStringLiteral("8083.5") << 8084 << -1;
    QTest::newRow("listen: fraction rounds") << false << QStringLiteral("8082.51") << 8083 << -1;
    QTest::newRow("listen: leading dot") << false << QStringLiteral(".7") << 1 << -1;
    QTest::newRow("listen: sign only") << false << QStringLiteral("-") << 0 << -1;
    QTest::newRow("listen: negative") << false << QStringLiteral("-5") << -5 << -1;
    QTest::newRow("listen: second dot stops") << false << QStringLiteral("80.4.9") << 80 << -1;
    QTest::newRow("listen: int32 max") << false << QStringLiteral("2147483647") << 2147483647 << -1;
    QTest::newRow("listen: int32 min") << false << QStringLiteral("-2147483648") << int(-2147483648LL) << -1;
    QTest::newRow("listen: above int32") << false << QStringLiteral("2147483648") << 0 << OverflowCode;
    QTest::newRow("listen: far above") << false << QStringLiteral("99999999999999999999999") << 0 << OverflowCode;
    QTest::newRow("listen: rounds over the edge") << false << QStringLiteral("2147483647.5") << 0 << OverflowCode;

    QTest::newRow("connect: plain") << true << QStringLiteral("80") << 80 << -1;
    QTest::newRow("connect: surrounding blanks") << true << QStringLiteral(" 80 ") << 80 << -1;
    QTest::newRow("connect: half to even down") << true << QStringLiteral("80.5") << 80 << -1;
    QTest::newRow("connect: half to even up") << true << QStringLiteral("81.5") << 82 << -1;
    QTest::newRow("connect: empty") << true << QString() << 0 << TypeMismatchCode;
    QTest::newRow("connect: blank only") << true << QStringLiteral("  ") << 0 << TypeMismatchCode;
    QTest::newRow("connect: letters") << true << QStringLiteral("abc") << 0 << TypeMismatchCode;
    QTest::newRow("connect: trailing letters") << true << QStringLiteral("8082abc") << 0 << TypeMismatchCode;
    QTest::newRow("connect: blank inside") << true << QStringLiteral("80 82") << 0 << TypeMismatchCode;
    QTest::newRow("connect: too large") << true << QStringLiteral("99999999999") << 0 << OverflowCode;
    QTest::newRow("connect: negative passes conversion") << true << QStringLiteral("-1") << -1 << -1;
}

void PortTextTest::conversion()
{
    QFETCH(bool, strict);
    QFETCH(QString, text);
    QFETCH(int, port);
    QFETCH(int, errorCode);
    try {
        const qint32 value = strict ? connectPortFromText(text) : listenPortFromText(text);
        QCOMPARE(errorCode, -1);
        QCOMPARE(value, port);
    } catch (const ComponentError &error) {
        QCOMPARE(error.code(), errorCode);
    }
}

QTEST_GUILESS_MAIN(PortTextTest)
#include "tst_port_text.moc"
