#include "relay/settings_store.h"
#include "platform/component_error.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void absentKeyAndFileGiveDefault();
    void corruptOrForeignValuesGiveDefault();
    void failedWriteThrows();
};

void SettingsStoreTest::roundTrip_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("port") << QStringLiteral("8082");
    QTest::newRow("empty") << QString();
    QTest::newRow("blanks around") << QStringLiteral("  80 ");
    QTest::newRow("comma list look") << QStringLiteral("a, b,c");
    QTest::newRow("ini syntax") << QStringLiteral("[startup]\nkey=value ; comment # x");
    QTest::newRow("quotes and backslash") << QStringLiteral("\"C:\\temp\\\" 'x'");
    QTest::newRow("at sign") << QStringLiteral("@Variant(abc)");
    QTest::newRow("percent") << QStringLiteral("100%20");
    QTest::newRow("unicode") << QStringLiteral("h\u00f4te-\u6e2f-\U0001F680");
    QTest::newRow("control chars") << QStringLiteral("a\tb\rc\x01");
}

// A value written by one store object is read back unchanged by another
// (the next run of the program).
void SettingsStoreTest::roundTrip()
{
    QFETCH(QString, value);
    QTemporaryDir dir;
    {
        SettingsStore store(dir.path() + QStringLiteral("/quaylight"));
        store.write(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                    QStringLiteral("RemoteHost"), value);
    }
    SettingsStore next(dir.path() + QStringLiteral("/quaylight"));
    QCOMPARE(next.read(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                       QStringLiteral("RemoteHost"), QStringLiteral("fallback")),
             value);
}

void SettingsStoreTest::absentKeyAndFileGiveDefault()
{
    QTemporaryDir dir;
    SettingsStore store(dir.path());
    QCOMPARE(store.read(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                        QStringLiteral("LocalPort"), QStringLiteral("8080")),
             QStringLiteral("8080"));
    store.write(QStringLiteral("Harborcast"), QStringLiteral("startup"), QStringLiteral("LocalPort"),
                QStringLiteral("1"));
    QCOMPARE(store.read(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                        QStringLiteral("LocalPort2"), QStringLiteral("8080")),
             QStringLiteral("8080"));
    QCOMPARE(store.read(QStringLiteral("Harborcast"), QStringLiteral("other"),
                        QStringLiteral("LocalPort"), QStringLiteral("d")),
             QStringLiteral("d"));
}

void SettingsStoreTest::corruptOrForeignValuesGiveDefault()
{
    QTemporaryDir dir;
    SettingsStore store(dir.path());
    QFile file(store.filePath(QStringLiteral("Harborcast")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    // Binary garbage, a hand-written list and a value typed by a hand editor.
    static const char garbage[] = "\xff\xfe\x00\x01garbage\n[startup]\nLocalPort=80, 81\n"
                                  "RemotePort= 90\n[[[\n=\n\x00\x00";
    file.write(garbage, sizeof garbage - 1);
    file.close();
    QCOMPARE(store.read(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                        QStringLiteral("LocalPort"), QStringLiteral("8080")),
             QStringLiteral("8080"));
    // The store still accepts writes afterwards, and they read back.

    store.write(QStringLiteral("Harborcast"), QStringLiteral("startup"), QStringLiteral("LocalPort2"),
                QStringLiteral("9000"));
    QCOMPARE(store.read(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                        QStringLiteral("LocalPort2"), QStringLiteral("8080")),
             QStringLiteral("9000"));
}

void SettingsStoreTest::failedWriteThrows()
{
    QTemporaryDir dir;
    // A file where the folder should be: nothing can be created below it.
    QFile blocker(dir.path() + QStringLiteral("/blocked"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    SettingsStore store(dir.path() + QStringLiteral("/blocked/quaylight"));
    try {
        store.write(QStringLiteral("Harborcast"), QStringLiteral("startup"),
                    QStringLiteral("LocalPort"), QStringLiteral("1"));
        QFAIL("a write below a file must fail");
    } catch (const ComponentError &error) {
        QCOMPARE(error.code(), SettingsStore::WriteFailedCode);
    }
}

QTEST_GUILESS_MAIN(SettingsStoreTest)
#include "tst_settings_store.moc"
