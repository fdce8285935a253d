#include "app/announcer.h"
#include "engine/hub.h"
#include "engine/socket_endpoint.h"
#include "platform/usb_interface.h"
#include "platform/winsock.h"
#include "support/pty_device.h"
#include "support/test_config.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
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
    void followsTheHub();

private:
    QTemporaryDir m_dir;
    QString m_sys;
};

void AnnouncementTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // No system bus: nothing made here reaches an mDNS responder, and so
    // the network.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_dir.filePath(QStringLiteral("no-bus")).toUtf8());
    m_sys = m_dir.filePath(QStringLiteral("sys"));
    // usb-serial (1-2): the tty below the interface, the strings on the
    // device. cdc_acm (1-3): the tty's device is the interface itself, not
    // the first, and no serial string. A UART of the board: no USB above.
    const std::pair<const char *, const char *> files[] = {
        {"sys/devices/usb1/1-2/idVendor", "0403\n"}, {"sys/devices/usb1/1-2/idProduct", "6001\n"},
        {"sys/devices/usb1/1-2/serial", "A10KX3\n"}, {"sys/devices/usb1/1-2/manufacturer", "FTDI\n"},
        {"sys/devices/usb1/1-2/product", "FT232R USB UART\n"},
        {"sys/devices/usb1/1-2/1-2:1.0/bInterfaceNumber", "00\n"},
        {"sys/devices/usb1/1-2/1-2:1.0/interface", "FT232R USB UART\n"},
        {"sys/devices/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0/dev", "188:0\n"},
        {"sys/devices/usb1/1-3/idVendor", "2341\n"}, {"sys/devices/usb1/1-3/idProduct", "0043\n"},
        {"sys/devices/usb1/1-3/product", "Arduino Uno\n"},
        {"sys/devices/usb1/1-3/1-3:1.2/bInterfaceNumber", "02\n"},
        {"sys/devices/platform/serial8250/tty/ttyS0/dev", "4:64\n"},
        {"dev/ttyUSB0", ""}, {"dev/ttyACM0", ""}, {"dev/ttyS0", ""}, {"dev/pts/4", ""},
    };
    for (const auto &[path, text] : files) {
        QVERIFY(QDir().mkpath(QFileInfo(m_dir.filePath(QLatin1String(path))).path()));
        QFile file(m_dir.filePath(QLatin1String(path)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) >= 0);
    }
    // The class links, and a device file reached through a link as udev makes them.
    const std::pair<const char *, const char *> links[] = {
        {"sys/devices/usb1/1-2/1-2:1.0/ttyUSB0", "sys/class/tty/ttyUSB0/device"},
        {"sys/devices/usb1/1-3/1-3:1.2", "sys/class/tty/ttyACM0/device"},
        {"sys/devices/platform/serial8250", "sys/class/tty/ttyS0/device"},
        {"dev/ttyUSB0", "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KX3-if00-port0"},
    };
    for (const auto &[target, path] : links) {
        QVERIFY(QDir().mkpath(QFileInfo(m_dir.filePath(QLatin1String(path))).path()));
        QVERIFY(QFile::link(m_dir.filePath(QLatin1String(target)), m_dir.filePath(QLatin1String(path))));
    }
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

// What is announced follows the hub's events at once, with no poll: the
// server's port while it listens, RFC 2217 as the network settings say,
// nothing while a peer holds the single-peer server or it is closed.
void AnnouncementTest::followsTheHub()
{
    const int server = endpointOf(EndpointRole::ServerListener);
    TestConfig config;
    PtyDevice device;
    config.pinPorts({{4, device.slavePath()}});
    Hub hub(config.dir());
    hub.serve();
    Announcer announcer(hub, QStringLiteral("Bench"));
    QCOMPARE(announcer.name(), QStringLiteral("Bench"));
    QCOMPARE(announcer.port(), quint16(0));

    const quint16 port = quint16(hub.listen(server, 0));
    QCOMPARE(announcer.port(), port);
    QCOMPARE(announcer.txt().value(QStringLiteral("gensiostack")), QByteArray("tcp"));
    NetworkSettings network = hub.network();
    network.rfc2217 = true;
    hub.setNetwork(network);
    QCOMPARE(announcer.txt().value(QStringLiteral("gensiostack")), QByteArray("telnet(rfc2217),tcp"));
    hub.openPort(4);
    QCOMPARE(announcer.port(), port);

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE(hub.endpoint(server).socket().State(), int(Winsock::sckConnected));
    QCOMPARE(announcer.port(), quint16(0));
    hub.stopListening(server);
    const quint16 again = quint16(hub.listen(server, 0));
    QCOMPARE(announcer.port(), again);
    hub.stopListening(server);
    QCOMPARE(announcer.port(), quint16(0));
    QVERIFY(announcer.txt().isEmpty());
}

QTEST_GUILESS_MAIN(AnnouncementTest)
#include "tst_announcement.moc"
