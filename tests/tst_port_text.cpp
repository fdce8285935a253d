#include "platform/component_error.h"
#include "engine/port_text.h"

#include <QTest>

// The two conversions of a port field's text, on the same texts: lenient for
// Listen, strict for Connect.
class PortTextTest : public QObject
{
    Q_OBJECT

private slots:
    void conversion_data();
    void conversion();
};

void PortTextTest::conversion_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("listen"); // the port, or "E<code>" for the error thrown
    QTest::addColumn<QString>("connect");
    auto row = [](const char *text, const char *listen, const char *connect) {
        QTest::newRow(text) << QString::fromLatin1(text) << QString::fromLatin1(listen)
                            << QString::fromLatin1(connect);
    };
    row("8082abc", "8082", "E13");
    row("", "0", "E13");
    row(" 80 8\t2\n", "8082", "E13");
    row(" 80 ", "80", "80");
    row(".7", "1", "1");
    // Half to even, decided exactly from the digits as written.
    row("8082.5", "8082", "8082");
    row("8083.5", "8084", "8084");
    row("8082.51", "8083", "8083");
    row("2.50000000000000000000001", "3", "3");
    row("-2147483648", "-2147483648", "-2147483648");
    row("2147483647.5", "E6", "E6");
}

void PortTextTest::conversion()
{
    QFETCH(QString, text);
    QFETCH(QString, listen);
    QFETCH(QString, connect);
    auto convert = [&](qint32 (*conversion)(const QString &)) {
        try {
            return QString::number(conversion(text));
        } catch (const ComponentError &error) {
            return QStringLiteral("E%1").arg(error.code());
        }
    };
    QCOMPARE(convert(listenPortFromText), listen);
    QCOMPARE(convert(connectPortFromText), connect);
}

QTEST_GUILESS_MAIN(PortTextTest)
#include "tst_port_text.moc"
