// PortTable: numbering of serial devices 1..64 and ports.ini.
#include "platform/component_error.h"
#include "platform/port_table.h"
#include "platform/serial_comm.h"
#include "support/pty_device.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

using Device = PortTable::Device;
using Map = QMap<int, QString>; // number -> device path

Device dev(const QString &path, const QString &identity = {}) // no identity: a built-in UART
{
    return Device {path, identity.isEmpty() ? path : identity, identity.isEmpty()};
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

Map asMap(const PortTable &table)
{
    Map map;
    for (const PortTable::Entry &e : table.entries())
        map.insert(e.number, e.devicePath);
    return map;
}

} // namespace

class TestPortTable : public QObject
{
    Q_OBJECT

private slots:
    void automaticNumbersFollowTheDevice();
    void numberForALinkFollowsIt();
    void pinsWinAndOnlyAssignedIsWritten();
    void pinWithControlCharacterNamesNoDevice_data();
    void pinWithControlCharacterNamesNoDevice();
    void fileNotUnderstoodIsNamedOnce_data();
    void fileNotUnderstoodIsNamedOnce();
};

void TestPortTable::automaticNumbersFollowTheDevice()
{
    QTemporaryDir dir;
    // USB first and out of order: built-ins come first, ttyS2 before ttyS10.
    QList<Device> devices = {dev(u"/dev/ttyUSB0"_qs, u"usb-X"_qs), dev(u"/dev/ttyS10"_qs), dev(u"/dev/ttyS2"_qs)};
    const PortTable table(dir.path(), [&] { return devices; });
    QCOMPARE(asMap(table), (Map {{1, u"/dev/ttyS2"_qs}, {2, u"/dev/ttyS10"_qs}, {3, u"/dev/ttyUSB0"_qs}}));
    // Replugged on another path after another adapter took ttyUSB0: the
    // number follows the identity; the newcomer gets the lowest free one.
    devices = {dev(u"/dev/ttyUSB0"_qs, u"usb-Y"_qs), dev(u"/dev/ttyUSB1"_qs, u"usb-X"_qs)};
    QCOMPARE(asMap(table), (Map {{3, u"/dev/ttyUSB1"_qs}, {4, u"/dev/ttyUSB0"_qs}}));
    // Unplugged, its number names nothing and is not given away; back on a
    // third path and seen by a new run (from the file), it is 3 again.
    devices = {dev(u"/dev/ttyUSB7"_qs, u"usb-Z"_qs)};
    QCOMPARE(asMap(table), (Map {{5, u"/dev/ttyUSB7"_qs}}));
    devices = {dev(u"/dev/ttyUSB2"_qs, u"usb-X"_qs)};
    QCOMPARE(PortTable(dir.path(), [&] { return devices; }).devicePath(3), u"/dev/ttyUSB2"_qs);
    for (int i = 0; i < 70; ++i) // never beyond 64: 59 numbers are left
        devices << dev(QStringLiteral("/dev/ttyUSB%1").arg(i + 10), QStringLiteral("many-%1").arg(i));
    QCOMPARE(asMap(table).lastKey(), 64);
    QCOMPARE(table.devicePath(64), u"/dev/ttyUSB68"_qs);
    QVERIFY(!readFile(table.filePath()).contains("many-59"));
}

// A device named by a link keeps its number when it comes back behind the
// same link on another tty: the number stands for the link, not the tty.
void TestPortTable::numberForALinkFollowsIt()
{
    QTemporaryDir dir;
    PtyDevice first;
    PtyDevice second;
    const QString link = dir.path() + QStringLiteral("/by-id");
    QVERIFY(QFile::link(first.slavePath(), link));
    PortTable table(dir.path(), [] { return QList<Device> {}; });
    const int number = table.numberFor(link);
    QVERIFY(number != 0);
    QCOMPARE(table.devicePath(number), first.slavePath());
    QVERIFY(QFile::remove(link) && QFile::link(second.slavePath(), link));
    QCOMPARE(table.devicePath(number), second.slavePath());
    QCOMPARE(table.numberFor(link), number);
}

void TestPortTable::pinsWinAndOnlyAssignedIsWritten()
{
    QTemporaryDir dir;
    const QString node = QDir(dir.path()).canonicalPath() + u"/ttyFake0"_qs, link = dir.filePath(u"link"_qs);
    QVERIFY(writeFile(node, {}) && QFile::link(node, link));
    // Blanks and comments; 0 and 65 are no numbers; an absent pin 4.
    const QByteArray user = "; mine\n[PINNED]\n 1 =  " + link.toUtf8() + "   ; bench\n0=" + link.toUtf8()
        + "\n65=" + link.toUtf8() + "\n4=/dev/quaylight-no-such-device\n[extra]\nkeep=me\n";
    const QString ini = dir.filePath(u"ports.ini"_qs);
    QVERIFY(writeFile(ini, user + "[assigned]\n1=/dev/ttyS0\n2=usb-A\n"));
    // The pinned node is also listed: no second number. ttyS0 lost 1 to the
    // pin; the absent pin 4 still holds its number.
    const QList<Device> devices = {dev(u"/dev/ttyS0"_qs), dev(node), dev(u"/dev/ttyUSB0"_qs, u"usb-A"_qs),
                                   dev(u"/dev/ttyUSB1"_qs, u"usb-B"_qs)};
    int listed = 0;
    const PortTable table(dir.path(), [&] { return ++listed, devices; });
    QCOMPARE(asMap(table), (Map {{1, node}, {2, u"/dev/ttyUSB0"_qs}, {3, u"/dev/ttyS0"_qs}, {5, u"/dev/ttyUSB1"_qs}}));
    QCOMPARE(readFile(ini), user + "\n[assigned]\n2=usb-A\n3=/dev/ttyS0\n5=usb-B\n");
    // automatic=false (BOM, CRLF, any case): only the pins; the system is not
    // asked and nothing is written.
    const QByteArray off = "\xEF\xBB\xBF[Numbering]\r\n  Automatic = FALSE ; off\r\n[pinned]\r\n7=" + link.toUtf8() + "\r\n";
    QVERIFY(writeFile(ini, off) && (listed = 0) == 0);
    QCOMPARE(asMap(table), (Map {{7, node}}));
    QCOMPARE(listed, 0);
    QCOMPARE(readFile(ini), off);
}

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

void TestPortTable::fileNotUnderstoodIsNamedOnce_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<Map>("numbers");  // with /dev/ttyS0 present
    QTest::addColumn<QString>("named"); // the one warning, empty for none
    const Map none, automatic {{1, u"/dev/ttyS0"_qs}};
    QTest::newRow("yes") << QByteArray("[numbering]\nautomatic=Yes\n") << automatic << QString();
    QTest::newRow("off") << QByteArray("[numbering]\nautomatic=off\n") << none << QString();
    // A typo never numbers a real device.
    QTest::newRow("typo in the flag") << QByteArray("[numbering]\nautomatic=flase\n") << none
        << u"ports.ini [numbering] automatic=flase is not true/false, yes/no, on/off or 1/0; using false (only the pinned numbers exist)"_qs;
    QTest::newRow("typo in the section") << QByteArray("[numbering]\nautomatic=0\n[pined]\n3=/dev/ttyS0\n") << none
        << u"ports.ini [pined] 3=/dev/ttyS0 is not in [numbering], [pinned] or [assigned]; ignored"_qs;
    QTest::newRow("unknown key") << QByteArray("[numbering]\nautomatic=0\nthree=/dev/ttyS0\n") << none
        << u"ports.ini [numbering] three=/dev/ttyS0 is not a setting; ignored"_qs;
    QTest::newRow("no number") << QByteArray("[numbering]\nautomatic=0\n[pinned]\nthree=/dev/ttyS0\n") << none
        << u"ports.ini [pinned] three=/dev/ttyS0 is not a port number from 1 to 64; ignored"_qs;
}

// What ports.ini holds that is not understood is named once per table,
// never guessed.
void TestPortTable::fileNotUnderstoodIsNamedOnce()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, named);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(u"ports.ini"_qs), ini));
    const PortTable table(dir.path(), [] { return QList<Device> {dev(u"/dev/ttyS0"_qs)}; });
    if (!named.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(named));
    QTest::failOnWarning(QRegularExpression(u"."_qs));
    QTEST(asMap(table), "numbers");
    QTEST(asMap(table), "numbers");
}

QTEST_GUILESS_MAIN(TestPortTable)
#include "tst_port_table.moc"
