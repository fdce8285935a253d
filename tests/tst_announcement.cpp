#include "app/announcer.h"
#include "platform/usb_interface.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// What the announcement says of a device: the USB identity read from a
// sysfs tree built here (the layouts of usb-serial, cdc_acm and a UART on
// the board), and the TXT entries made of it.
class AnnouncementTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void txt_data();
    void txt();

private:
    void write(const QString &path, const QByteArray &text);
    void link(const QString &target, const QString &path);
    QTemporaryDir m_dir;
    QString m_sys;
};

void AnnouncementTest::write(const QString &path, const QByteArray &text)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

void AnnouncementTest::link(const QString &target, const QString &path)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QVERIFY(QFile::link(target, path));
}

void AnnouncementTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_sys = m_dir.filePath(QStringLiteral("sys"));
    const QString hub = m_sys + QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1");
    // usb-serial: the tty below the interface, the strings on the device.
    const QString ftdi = hub + QStringLiteral("/1-2");
    write(ftdi + QStringLiteral("/idVendor"), "0403\n");
    write(ftdi + QStringLiteral("/idProduct"), "6001\n");
    write(ftdi + QStringLiteral("/serial"), "A10KX3\n");
    write(ftdi + QStringLiteral("/manufacturer"), "FTDI\n");
    write(ftdi + QStringLiteral("/product"), "FT232R USB UART\n");
    write(ftdi + QStringLiteral("/1-2:1.0/bInterfaceNumber"), "00\n");
    write(ftdi + QStringLiteral("/1-2:1.0/interface"), "FT232R USB UART\n");
    write(ftdi + QStringLiteral("/1-2:1.0/ttyUSB0/tty/ttyUSB0/dev"), "188:0\n");
    link(ftdi + QStringLiteral("/1-2:1.0/ttyUSB0"), m_sys + QStringLiteral("/class/tty/ttyUSB0/device"));
    // cdc_acm: the tty's device is the interface itself; no serial string,
    // and the interface number not the first.
    const QString acm = hub + QStringLiteral("/1-3");
    write(acm + QStringLiteral("/idVendor"), "2341\n");
    write(acm + QStringLiteral("/idProduct"), "0043\n");
    write(acm + QStringLiteral("/product"), "Arduino Uno\n");
    write(acm + QStringLiteral("/1-3:1.2/bInterfaceNumber"), "02\n");
    link(acm + QStringLiteral("/1-3:1.2"), m_sys + QStringLiteral("/class/tty/ttyACM0/device"));
    // A UART of the board: sysfs knows it, no USB above it.
    write(m_sys + QStringLiteral("/devices/platform/serial8250/tty/ttyS0/dev"), "4:64\n");
    link(m_sys + QStringLiteral("/devices/platform/serial8250"), m_sys + QStringLiteral("/class/tty/ttyS0/device"));

    // The device files, one reached through a link as udev makes them.
    for (const char *name : {"ttyUSB0", "ttyACM0", "ttyS0", "pts/4"})
        write(m_dir.filePath(QStringLiteral("dev/") + QLatin1String(name)), {});
    link(m_dir.filePath(QStringLiteral("dev/ttyUSB0")),
         m_dir.filePath(QStringLiteral("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KX3-if00-port0")));
}

void AnnouncementTest::txt_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("rfc2217");
    QTest::addColumn<QString>("txt"); // the entries, sorted, joined by ';'

    QTest::newRow("usb-serial through a by-id link, RFC 2217")
        << QStringLiteral("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KX3-if00-port0") << true
        << QStringLiteral("bInterfaceNumber=00;devicetype=serialusb;gensiostack=telnet(rfc2217),tcp;"
                          "idProduct=6001;idVendor=0403;interface=FT232R USB UART;manufacturer=FTDI;"
                          "product=FT232R USB UART;provider=quaylight;serial=A10KX3");
    QTest::newRow("cdc_acm, strings missing, plain TCP")
        << QStringLiteral("dev/ttyACM0") << false
        << QStringLiteral("bInterfaceNumber=02;devicetype=serialusb;gensiostack=tcp;idProduct=0043;"
                          "idVendor=2341;product=Arduino Uno;provider=quaylight");
    QTest::newRow("board UART") << QStringLiteral("dev/ttyS0") << true
                                << QStringLiteral("gensiostack=telnet(rfc2217),tcp;provider=quaylight");
    QTest::newRow("pseudo-terminal, not in sysfs") << QStringLiteral("dev/pts/4") << false
                                                   << QStringLiteral("gensiostack=tcp;provider=quaylight");
    QTest::newRow("device gone") << QStringLiteral("dev/ttyUSB9") << false
                                 << QStringLiteral("gensiostack=tcp;provider=quaylight");
}

void AnnouncementTest::txt()
{
    QFETCH(QString, device);
    QFETCH(bool, rfc2217);
    QFETCH(QString, txt);
    const QMap<QString, QByteArray> entries =
        Announcer::txtFor(rfc2217, UsbInterface::forDevice(m_dir.filePath(device), m_sys));
    QStringList got;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        got.append(it.key() + QLatin1Char('=') + QString::fromUtf8(it.value()));
    QCOMPARE(got.join(QLatin1Char(';')), txt);
}

QTEST_GUILESS_MAIN(AnnouncementTest)
#include "tst_announcement.moc"
