// PortTable: a pinned path that no device can have.
#include "platform/component_error.h"
#include "platform/port_table.h"
#include "platform/serial_comm.h"
#include "support/pty_device.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

using Device = PortTable::Device;


Device dev(const QString &path, const QString &identity = {}) // no identity: a built-in UART
{
    return Device {path, identity.isEmpty() ? path : identity, identity.isEmpty()};
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class TestPortTable : public QObject
{
    Q_OBJECT

private slots:
    void pinWithControlCharacterNamesNoDevice_data();
    void pinWithControlCharacterNamesNoDevice();
};

void TestPortTable::pinWithControlCharacterNamesNoDevice_data()
{
    QTest::addColumn<QByteArray>("tail"); // follows the device path in the pin
    QTest::newRow("NUL") << QByteArray("\0x", 2);
    QTest::newRow("lone CR") << QByteArray("\rx");
    QTest::newRow("ESC") << QByteArray("\x1b");
    QTest::newRow("DEL") << QByteArray("\x7f");
}

void TestPortTable::pinWithControlCharacterNamesNoDevice()
{
    QFETCH(QByteArray, tail);
    QTemporaryDir dir;
    PtyDevice pty;
    // A stale lock file for the device where QSerialPort looks first: with a
    // NUL in the path, QLockFile used to recurse on it until the stack ran out.
    const QString lock = u"/var/lock/LCK.."_qs + pty.slavePath().mid(5).replace(u'/', u'_');
    if (!writeFile(lock, "999999\nghost\n\n"))
        QSKIP("the lock folder /var/lock cannot be written here");
    const auto removeLock = qScopeGuard([&] { QFile::remove(lock); });
    QVERIFY(writeFile(dir.filePath(u"ports.ini"_qs), "[pinned]\n1=" + pty.slavePath().toUtf8() + tail + "\n"));
    const PortTable table(dir.path(), [] { return QList<Device> {dev(u"/dev/ttyS0"_qs)}; });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"pinned path of number 1.*control character"_qs));
    QTest::failOnWarning(QRegularExpression(u"."_qs)); // once per entry, no other warning
    QCOMPARE(table.devicePath(1), QString());
    QCOMPARE(table.devicePath(2), u"/dev/ttyS0"_qs); // 1 stays reserved
    SerialComm comm(table);
    comm.setCommPort(1);
    try {
        comm.setPortOpen(true);
        QFAIL("a refused pin opened");
    } catch (const ComponentError &error) {
        QCOMPARE(error.code(), CommCode::PortInvalid);
    }
}

QTEST_GUILESS_MAIN(TestPortTable)
#include "tst_port_table.moc"
