// PortTable: numbering of serial devices 1..64 and ports.ini.
#include "platform/port_table.h"

#include "support/pty_device.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using Device = PortTable::Device;

// A device list the test changes at will; counts how often it is asked.
struct FakeDevices {
    QList<Device> devices;
    int calls = 0;

    PortTable::DeviceLister lister()
    {
        return [this] {
            ++calls;
            return devices;
        };
    }
};

Device uart(const QString &path)
{
    return Device {path, path, true};
}

Device usb(const QString &path, const QString &identity)
{
    return Device {path, identity, false};
}

void writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(text);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// number -> path, as entries() lists them
QMap<int, QString> asMap(const QList<PortTable::Entry> &entries)
{
    QMap<int, QString> map;
    for (const PortTable::Entry &e : entries)
        map.insert(e.number, e.devicePath);
    return map;
}

} // namespace

class TestPortTable : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void freshTableNumbersBuiltInsFirst();
    void numbersPersistAcrossInstances();
    void usbDeviceKeepsNumberWhenPathChanges();
    void absentDeviceKeepsItsNumberReserved();
    void pinningWins();
    void pinnedPathThatDoesNotExistIsNoDevice();
    void pinnedPseudoTerminal();
    void automaticOffHidesEverythingNotPinned();
    void numbersBeyond64NeverGiven();
    void outOfRangeNumbersNameNothing();
    void editsApplyWithoutRestart();
    void rewriteKeepsOtherSectionsAndComments();
    void commentsAndSpacingInFile();
    void unwritableFileStillNumbers();
    void stableIdentityRules();
    void systemDevicesSmoke();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString configDir() const { return m_dir->path() + QStringLiteral("/quaylight"); }
    QString iniPath() const { return configDir() + QStringLiteral("/ports.ini"); }
    // An existing file standing in for a device node.
    QString makeNode(const QString &name) const
    {
        const QString path = m_dir->path() + QLatin1Char('/') + name;
        writeFile(path, "");
        return path;
    }
};

void TestPortTable::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestPortTable::cleanup()
{
    m_dir.reset();
}

void TestPortTable::freshTableNumbersBuiltInsFirst()
{
    FakeDevices fake;
    // Listed USB first and out of order: numbering must not depend on that.
    fake.devices = {usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-FTDI_A-if00-port0")),
                    uart(QStringLiteral("/dev/ttyS10")), uart(QStringLiteral("/dev/ttyS2")),
                    usb(QStringLiteral("/dev/ttyACM0"), QStringLiteral("usb:2341:0043:7563")),
                    uart(QStringLiteral("/dev/ttyAMA0"))};
    const PortTable table(configDir(), fake.lister());

    const QMap<int, QString> map = asMap(table.entries());
    QCOMPARE(map.size(), 5);
    QCOMPARE(map.value(1), QStringLiteral("/dev/ttyAMA0"));
    QCOMPARE(map.value(2), QStringLiteral("/dev/ttyS2"));
    QCOMPARE(map.value(3), QStringLiteral("/dev/ttyS10"));
    QCOMPARE(map.value(4), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(map.value(5), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(table.devicePath(5), QStringLiteral("/dev/ttyUSB0"));

    // Remembered in [assigned] by identity.
    const QByteArray text = readFile(iniPath());
    QVERIFY2(text.contains("[assigned]"), text.constData());
    QVERIFY2(text.contains("5=usb-FTDI_A-if00-port0"), text.constData());
    QVERIFY2(text.contains("4=usb:2341:0043:7563"), text.constData());
    QVERIFY2(text.contains("2=/dev/ttyS2"), text.constData());
    QVERIFY2(text.contains("automatic=true"), text.constData());
}

void TestPortTable::numbersPersistAcrossInstances()
{
    FakeDevices first;
    first.devices = {uart(QStringLiteral("/dev/ttyS0")),
                     usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-A")),
                     usb(QStringLiteral("/dev/ttyUSB1"), QStringLiteral("usb-B"))};
    QMap<int, QString> before;
    {
        const PortTable table(configDir(), first.lister());
        before = asMap(table.entries());
    }
    QCOMPARE(before.size(), 3);

    // Next run: a new built-in UART shows up and the list comes in another
    // order; the known devices keep their numbers, the new one gets the
    // lowest free number even though it is built in.
    FakeDevices second;
    second.devices = {usb(QStringLiteral("/dev/ttyUSB1"), QStringLiteral("usb-B")),
                      uart(QStringLiteral("/dev/ttyS1")),
                      usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-A")),
                      uart(QStringLiteral("/dev/ttyS0"))};
    const PortTable table(configDir(), second.lister());
    const QMap<int, QString> after = asMap(table.entries());
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(after.value(it.key()), it.value());
    QCOMPARE(after.value(4), QStringLiteral("/dev/ttyS1"));
    QCOMPARE(after.size(), 4);

    // A third instance sees the same table without assigning anything new.
    const QByteArray text = readFile(iniPath());
    const PortTable third(configDir(), second.lister());
    QCOMPARE(asMap(third.entries()), after);
    QCOMPARE(readFile(iniPath()), text);
}

void TestPortTable::usbDeviceKeepsNumberWhenPathChanges()
{
    FakeDevices fake;
    fake.devices = {uart(QStringLiteral("/dev/ttyS0")),
                    usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-FTDI_X-if00-port0"))};
    const PortTable table(configDir(), fake.lister());
    QCOMPARE(table.devicePath(2), QStringLiteral("/dev/ttyUSB0"));

    // Replugged into another socket after another adapter took ttyUSB0.
    fake.devices = {uart(QStringLiteral("/dev/ttyS0")),
                    usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb:067b:2303:Z9")),
                    usb(QStringLiteral("/dev/ttyUSB1"), QStringLiteral("usb-FTDI_X-if00-port0"))};
    QCOMPARE(table.devicePath(2), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(table.devicePath(3), QStringLiteral("/dev/ttyUSB0"));

    // And a new PortTable (a new run) agrees.
    const PortTable again(configDir(), fake.lister());
    QCOMPARE(again.devicePath(2), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(again.devicePath(3), QStringLiteral("/dev/ttyUSB0"));
}

void TestPortTable::absentDeviceKeepsItsNumberReserved()
{
    FakeDevices fake;
    fake.devices = {usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-A")),
                    usb(QStringLiteral("/dev/ttyUSB1"), QStringLiteral("usb-B"))};
    const PortTable table(configDir(), fake.lister());
    QCOMPARE(table.devicePath(1), QStringLiteral("/dev/ttyUSB0"));

    // A unplugged: number 1 names no device, and a new device does not take it.
    fake.devices = {usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-B")),
                    usb(QStringLiteral("/dev/ttyUSB1"), QStringLiteral("usb-C"))};
    QCOMPARE(table.devicePath(1), QString());
    QCOMPARE(table.devicePath(2), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(table.devicePath(3), QStringLiteral("/dev/ttyUSB1"));

    // A back: number 1 again.
    fake.devices.append(usb(QStringLiteral("/dev/ttyUSB2"), QStringLiteral("usb-A")));
    QCOMPARE(table.devicePath(1), QStringLiteral("/dev/ttyUSB2"));
}

void TestPortTable::pinningWins()
{
    const QString node = makeNode(QStringLiteral("ttyFake0"));
    const QString other = makeNode(QStringLiteral("ttyFake1"));
    QDir().mkpath(configDir());
    writeFile(iniPath(), "[pinned]\n1=" + node.toUtf8() + "\n3=" + other.toUtf8()
                             + "\n[assigned]\n1=/dev/ttyS0\n2=usb-A\n");
    FakeDevices fake;
    // The pinned node is also listed as a device: it must not get a second number.
    fake.devices = {uart(QStringLiteral("/dev/ttyS0")), uart(node),
                    usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-A")),
                    usb(QStringLiteral("/dev/ttyUSB1"), QStringLiteral("usb-B"))};
    const PortTable table(configDir(), fake.lister());
    const QMap<int, QString> map = asMap(table.entries());

    QCOMPARE(map.value(1), QFileInfo(node).canonicalFilePath());
    QCOMPARE(map.value(3), QFileInfo(other).canonicalFilePath());
    QCOMPARE(map.value(2), QStringLiteral("/dev/ttyUSB0")); // remembered, not pinned over
    // ttyS0 lost number 1 to the pin: it gets the lowest free unpinned number.
    QCOMPARE(map.value(4), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(map.value(5), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(map.size(), 5);
    QCOMPARE(map.values().count(QFileInfo(node).canonicalFilePath()), 1);

    const QByteArray text = readFile(iniPath());
    QVERIFY2(text.contains("4=/dev/ttyS0"), text.constData());
    QVERIFY2(!text.contains("1=/dev/ttyS0"), text.constData());
    QVERIFY2(text.contains("1=" + node.toUtf8()), text.constData()); // pins kept as written
}

void TestPortTable::pinnedPathThatDoesNotExistIsNoDevice()
{
    QDir().mkpath(configDir());
    writeFile(iniPath(), "[pinned]\n2=/dev/quaylight-no-such-device\n");
    FakeDevices fake;
    fake.devices = {uart(QStringLiteral("/dev/ttyS0")), uart(QStringLiteral("/dev/ttyS1"))};
    const PortTable table(configDir(), fake.lister());
    QCOMPARE(table.devicePath(2), QString());
    // The absent pin still holds its number: the devices go around it.
    QCOMPARE(table.devicePath(1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(table.devicePath(3), QStringLiteral("/dev/ttyS1"));
    QVERIFY(!asMap(table.entries()).contains(2));
}

void TestPortTable::pinnedPseudoTerminal()
{
    PtyDevice pty;
    QVERIFY(pty.isValid());
    QDir().mkpath(configDir());
    writeFile(iniPath(), "[numbering]\nautomatic=false\n[pinned]\n7=" + pty.slavePath().toUtf8()
                             + "\n");
    const PortTable table(configDir());
    QCOMPARE(table.devicePath(7), pty.slavePath());
    const QString gone = pty.slavePath();
    pty.vanish(); // the pty's node goes with its master
    // Unless another process got a new pty under the same name meanwhile.
    const QString now = table.devicePath(7);
    QVERIFY(now.isEmpty() || QFileInfo::exists(gone));
}

void TestPortTable::automaticOffHidesEverythingNotPinned()
{
    const QString node = makeNode(QStringLiteral("ttyFake0"));
    QDir().mkpath(configDir());
    const QByteArray text = "[numbering]\nautomatic=false\n[pinned]\n5=" + node.toUtf8()
        + "\n[assigned]\n1=/dev/ttyS0\n";
    writeFile(iniPath(), text);
    FakeDevices fake;
    fake.devices = {uart(QStringLiteral("/dev/ttyS0")), uart(QStringLiteral("/dev/ttyS1"))};
    const PortTable table(configDir(), fake.lister());

    const QMap<int, QString> map = asMap(table.entries());
    QCOMPARE(map.size(), 1);
    QCOMPARE(map.value(5), QFileInfo(node).canonicalFilePath());
    QCOMPARE(table.devicePath(1), QString());
    QCOMPARE(table.devicePath(2), QString());
    QCOMPARE(fake.calls, 0);               // the system was not even asked
    QCOMPARE(readFile(iniPath()), text);   // and nothing was written
}

void TestPortTable::numbersBeyond64NeverGiven()
{
    const QString node = makeNode(QStringLiteral("ttyPinned"));
    QDir().mkpath(configDir());
    writeFile(iniPath(), "[pinned]\n10=" + node.toUtf8() + "\n64=/dev/quaylight-absent\n");
    FakeDevices fake;
    for (int i = 0; i < 70; ++i)
        fake.devices.append(usb(QStringLiteral("/dev/ttyUSB%1").arg(i),
                                QStringLiteral("usb-dev-%1").arg(i)));
    const PortTable table(configDir(), fake.lister());
    const QList<PortTable::Entry> entries = table.entries();
    // 64 numbers, 2 pinned (one absent): 62 automatic + 1 present pin.
    QCOMPARE(entries.size(), 63);
    for (const PortTable::Entry &e : entries) {
        QVERIFY(e.number >= 1);
        QVERIFY(e.number <= 64);
    }
    QCOMPARE(table.devicePath(10), QFileInfo(node).canonicalFilePath());
    QCOMPARE(table.devicePath(64), QString());
    QCOMPARE(table.devicePath(63), QStringLiteral("/dev/ttyUSB61"));
    QCOMPARE(table.devicePath(65), QString());

    const QByteArray text = readFile(iniPath());
    QVERIFY(!text.contains("65="));
    QVERIFY(!text.contains("usb-dev-62"));
}

void TestPortTable::outOfRangeNumbersNameNothing()
{
    QDir().mkpath(configDir());
    const QString node = makeNode(QStringLiteral("ttyFake0"));
    writeFile(iniPath(), "[numbering]\nautomatic=false\n[pinned]\n0=" + node.toUtf8() + "\n65="
                             + node.toUtf8() + "\n-1=" + node.toUtf8() + "\nx=" + node.toUtf8()
                             + "\n");
    const PortTable table(configDir());
    QVERIFY(table.entries().isEmpty());
    QCOMPARE(table.devicePath(0), QString());
    QCOMPARE(table.devicePath(65), QString());
    QCOMPARE(table.devicePath(-1), QString());
}

void TestPortTable::editsApplyWithoutRestart()
{
    const QString a = makeNode(QStringLiteral("ttyA"));
    const QString b = makeNode(QStringLiteral("ttyB"));
    QDir().mkpath(configDir());
    writeFile(iniPath(), "[numbering]\nautomatic=false\n[pinned]\n3=" + a.toUtf8() + "\n");
    const PortTable table(configDir());
    QCOMPARE(table.devicePath(3), QFileInfo(a).canonicalFilePath());
    writeFile(iniPath(), "[numbering]\nautomatic=false\n[pinned]\n3=" + b.toUtf8() + "\n");
    QCOMPARE(table.devicePath(3), QFileInfo(b).canonicalFilePath());
    QFile::remove(iniPath());
    FakeDevices none;
    const PortTable empty(configDir(), none.lister());
    QVERIFY(empty.entries().isEmpty()); // no file: automatic, nothing present
}

void TestPortTable::rewriteKeepsOtherSectionsAndComments()
{
    const QString node = makeNode(QStringLiteral("ttyFake0"));
    QDir().mkpath(configDir());
    const QByteArray userPart = "; my serial ports\n[numbering]\nautomatic = yes\n\n[pinned]\n"
                                "; the bench adapter\n9 = "
        + node.toUtf8() + "\n\n[extra]\nkeep=me\n";
    writeFile(iniPath(), userPart + "\n[assigned]\n1=usb-old\n");
    FakeDevices fake;
    fake.devices = {usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-new"))};
    const PortTable table(configDir(), fake.lister());
    QCOMPARE(table.devicePath(2), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(table.devicePath(9), QFileInfo(node).canonicalFilePath());

    const QByteArray text = readFile(iniPath());
    QVERIFY2(text.startsWith(userPart), text.constData());
    QVERIFY2(text.endsWith("[assigned]\n1=usb-old\n2=usb-new\n"), text.constData());
}

void TestPortTable::commentsAndSpacingInFile()
{
    const QString node = makeNode(QStringLiteral("ttyFake0"));
    QDir().mkpath(configDir());
    writeFile(iniPath(), "\xEF\xBB\xBF# comment\r\n[Numbering]\r\n  Automatic = FALSE   ; off\r\n"
                         "[PINNED]\r\n 4 =  "
                             + node.toUtf8() + "   ; pinned by the user\r\n");
    FakeDevices fake;
    fake.devices = {uart(QStringLiteral("/dev/ttyS0"))};
    const PortTable table(configDir(), fake.lister());
    QCOMPARE(asMap(table.entries()),
             (QMap<int, QString> {{4, QFileInfo(node).canonicalFilePath()}}));
    QCOMPARE(fake.calls, 0);
}

void TestPortTable::unwritableFileStillNumbers()
{
    // The config "folder" is a file: nothing can be written there.
    const QString blocker = makeNode(QStringLiteral("not-a-folder"));
    FakeDevices fake;
    fake.devices = {uart(QStringLiteral("/dev/ttyS0")),
                    usb(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("usb-A"))};
    const PortTable table(blocker + QStringLiteral("/quaylight"), fake.lister());
    QCOMPARE(table.devicePath(1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(table.devicePath(2), QStringLiteral("/dev/ttyUSB0"));
    QVERIFY(!QFile::exists(table.filePath()));
}

void TestPortTable::stableIdentityRules()
{
    QCOMPARE(PortTable::stableIdentity(QStringLiteral("/dev/ttyUSB0"),
                                       QStringLiteral("usb-FTDI_FT232R_A50285BI-if00-port0"), true,
                                       0x0403, 0x6001, QStringLiteral("A50285BI")),
             QStringLiteral("usb-FTDI_FT232R_A50285BI-if00-port0"));
    QCOMPARE(PortTable::stableIdentity(QStringLiteral("/dev/ttyUSB0"), QString(), true, 0x0403,
                                       0x6001, QStringLiteral("A50285BI")),
             QStringLiteral("usb:0403:6001:A50285BI"));
    QCOMPARE(PortTable::stableIdentity(QStringLiteral("/dev/ttyUSB0"), QString(), true, 0x1a86,
                                       0x7523, QString()),
             QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(PortTable::stableIdentity(QStringLiteral("/dev/ttyS0"), QString(), false, 0, 0,
                                       QString()),
             QStringLiteral("/dev/ttyS0"));
}

void TestPortTable::systemDevicesSmoke()
{
    // The real system list: only listed, never opened.
    const QList<Device> devices = PortTable::systemDevices();
    for (const Device &d : devices) {
        QVERIFY(!d.path.isEmpty());
        QVERIFY(!d.identity.isEmpty());
    }
    const PortTable table(configDir());
    const QList<PortTable::Entry> entries = table.entries();
    QCOMPARE(entries.size(), qMin(devices.size(), qsizetype(64)));
    for (const PortTable::Entry &e : entries)
        QVERIFY(e.number >= 1 && e.number <= 64);
}

QTEST_GUILESS_MAIN(TestPortTable)
#include "tst_port_table.moc"
