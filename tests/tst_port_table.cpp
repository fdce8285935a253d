// PortTable: numbering of serial devices 1..64 and ports.ini.
#include "platform/port_table.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

using Device = PortTable::Device;
using Map = QMap<int, QString>; // number -> device path

Device uart(const char *path)
{
    return Device {QString::fromLatin1(path), QString::fromLatin1(path), true};
}

Device usb(const char *path, const char *identity)
{
    return Device {QString::fromLatin1(path), QString::fromLatin1(identity), false};
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(text);
}

// An existing file standing in for a device node; returns its canonical path.
QString makeNode(const QTemporaryDir &dir, const char *name)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    writeFile(path, "");
    return QFileInfo(path).canonicalFilePath();
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
    void builtInsFirstAndNumbersPersist();
    void usbDeviceKeepsNumberWhenPathChanges();
    void pinningWins();
    void automaticOffShowsOnlyPins();
    void numbersBeyond64NeverGiven();
};

void TestPortTable::builtInsFirstAndNumbersPersist()
{
    QTemporaryDir dir;
    // Listed USB first and out of order: numbering must not depend on that.
    QList<Device> devices = {usb("/dev/ttyUSB0", "usb-A"), uart("/dev/ttyS10"), uart("/dev/ttyS2"),
                             usb("/dev/ttyACM0", "usb:2341:0043:7563"), uart("/dev/ttyAMA0")};
    const Map fresh = Map {{1, QStringLiteral("/dev/ttyAMA0")}, {2, QStringLiteral("/dev/ttyS2")},
                           {3, QStringLiteral("/dev/ttyS10")}, {4, QStringLiteral("/dev/ttyACM0")},
                           {5, QStringLiteral("/dev/ttyUSB0")}};
    QCOMPARE(asMap(PortTable(dir.path(), [&] { return devices; })), fresh);
    const QByteArray text = readFile(dir.filePath(QStringLiteral("ports.ini")));
    QVERIFY2(text.contains("5=usb-A\n"), text.constData()); // by identity, not path

    // Next run: another order and a new built-in UART. The known devices keep
    // their numbers; the newcomer takes the lowest free one.
    std::reverse(devices.begin(), devices.end());
    devices.prepend(uart("/dev/ttyS1"));
    Map again = fresh;
    again.insert(6, QStringLiteral("/dev/ttyS1"));
    QCOMPARE(asMap(PortTable(dir.path(), [&] { return devices; })), again);
}

void TestPortTable::usbDeviceKeepsNumberWhenPathChanges()
{
    QTemporaryDir dir;
    QList<Device> devices = {uart("/dev/ttyS0"), usb("/dev/ttyUSB0", "usb-X")};
    const PortTable table(dir.path(), [&] { return devices; });
    QCOMPARE(table.devicePath(2), QStringLiteral("/dev/ttyUSB0"));

    // Replugged into another socket after another adapter took ttyUSB0.
    devices = {uart("/dev/ttyS0"), usb("/dev/ttyUSB0", "usb-Y"), usb("/dev/ttyUSB1", "usb-X")};
    QCOMPARE(table.devicePath(2), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(table.devicePath(3), QStringLiteral("/dev/ttyUSB0"));

    // Unplugged: its number names nothing and a newcomer does not take it.
    devices = {uart("/dev/ttyS0"), usb("/dev/ttyUSB0", "usb-Y"), usb("/dev/ttyUSB1", "usb-Z")};
    QCOMPARE(table.devicePath(2), QString());
    QCOMPARE(table.devicePath(4), QStringLiteral("/dev/ttyUSB1"));

    // Back on yet another path, seen by a new run: number 2 again.
    devices.append(usb("/dev/ttyUSB2", "usb-X"));
    QCOMPARE(PortTable(dir.path(), [&] { return devices; }).devicePath(2),
             QStringLiteral("/dev/ttyUSB2"));
}

void TestPortTable::pinningWins()
{
    QTemporaryDir dir;
    const QString node = makeNode(dir, "ttyFake0");
    const QString other = makeNode(dir, "ttyFake1");
    const QByteArray userPart = "; my ports\n[pinned]\n1=" + node.toUtf8() + "\n3 = "
        + other.toUtf8() + " ; bench\n4=/dev/quaylight-no-such-device\n\n[extra]\nkeep=me\n";
    writeFile(dir.filePath(QStringLiteral("ports.ini")),
              userPart + "\n[assigned]\n1=/dev/ttyS0\n2=usb-A\n");
    // The pinned node is also listed: it must not get a second number.
    const QList<Device> devices = {uart("/dev/ttyS0"), Device {node, node, true},
                                   usb("/dev/ttyUSB0", "usb-A"), usb("/dev/ttyUSB1", "usb-B")};
    const PortTable table(dir.path(), [&] { return devices; });
    // ttyS0 lost 1 to a pin; the absent pin 4 still holds its number.
    QCOMPARE(asMap(table), (Map {{1, node}, {2, QStringLiteral("/dev/ttyUSB0")}, {3, other},
                                 {5, QStringLiteral("/dev/ttyS0")},
                                 {6, QStringLiteral("/dev/ttyUSB1")}}));
    // Only [assigned] is rewritten; the user's lines stay as written.
    const QByteArray text = readFile(table.filePath());
    QVERIFY2(text.startsWith(userPart), text.constData());
    QVERIFY2(text.endsWith("\n[assigned]\n2=usb-A\n5=/dev/ttyS0\n6=usb-B\n"), text.constData());
}

void TestPortTable::automaticOffShowsOnlyPins()
{
    QTemporaryDir dir;
    const QString a = makeNode(dir, "ttyA");
    const QString b = makeNode(dir, "ttyB");
    const QString ini = dir.filePath(QStringLiteral("ports.ini"));
    // Hand-written: BOM, CRLF, any case, blanks and comments; 0 and 65 are no numbers.
    const QByteArray text = "\xEF\xBB\xBF# mine\r\n[Numbering]\r\n  Automatic = FALSE ; off\r\n"
                            "[PINNED]\r\n 5 =  " + a.toUtf8() + "   ; bench\r\n0=" + a.toUtf8()
        + "\r\n65=" + a.toUtf8() + "\r\n[assigned]\r\n1=/dev/ttyS0\r\n";
    writeFile(ini, text);
    int listed = 0;
    const PortTable table(dir.path(), [&] {
        ++listed;
        return QList<Device> {uart("/dev/ttyS0"), uart("/dev/ttyS1")};
    });
    QCOMPARE(asMap(table), (Map {{5, a}}));
    QCOMPARE(listed, 0);           // the system was not even asked
    QCOMPARE(readFile(ini), text); // and nothing was written

    // Edits apply without a restart.
    writeFile(ini, "[numbering]\nautomatic=false\n[pinned]\n5=" + b.toUtf8() + "\n");
    QCOMPARE(table.devicePath(5), b);
}

void TestPortTable::numbersBeyond64NeverGiven()
{
    QTemporaryDir dir;
    const QString node = makeNode(dir, "ttyPinned");
    writeFile(dir.filePath(QStringLiteral("ports.ini")),
              "[pinned]\n10=" + node.toUtf8() + "\n64=/dev/quaylight-absent\n");
    QList<Device> devices;
    for (int i = 0; i < 70; ++i)
        devices.append(Device {QStringLiteral("/dev/ttyUSB%1").arg(i),
                               QStringLiteral("usb-dev-%1").arg(i), false});
    const PortTable table(dir.path(), [&] { return devices; });
    // 62 free numbers go to the first 62 devices, plus the present pin.
    const Map map = asMap(table);
    QCOMPARE(map.size(), 63);
    QCOMPARE(map.firstKey(), 1);
    QCOMPARE(map.lastKey(), 63);
    QCOMPARE(map.value(10), node);
    QCOMPARE(map.value(63), QStringLiteral("/dev/ttyUSB61"));
    QCOMPARE(table.devicePath(65), QString());
    QVERIFY(!readFile(table.filePath()).contains("usb-dev-62"));
}

QTEST_GUILESS_MAIN(TestPortTable)
#include "tst_port_table.moc"
