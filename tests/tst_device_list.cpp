#include "engine/device_list.h"
#include "support/test_config.h"

#include <QFile>
#include <QTest>

Q_DECLARE_METATYPE(DeviceConfig)

namespace {
// Writes `text` as <config>/devices.ini, "%DIR%" standing for the folder,
// and reads it.
DeviceList readText(const TestConfig &config, QByteArray text)
{
    const QString path = config.dir() + QStringLiteral("/devices.ini");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write devices.ini");
    file.write(text.replace("%DIR%", config.dir().toUtf8()));
    file.close();
    return DeviceList::read(path, config.dir());
}

QStringList namesOf(const DeviceList &list)
{
    QStringList names;
    for (const DeviceConfig &device : list.devices)
        names.append(device.name);
    return names;
}
} // namespace

// The devices file: one hub per section, keys as the command line and the
// settings files write them, sections that cannot run safely left out whole.
class DeviceListTest : public QObject
{
    Q_OBJECT

private slots:
    void keysReadAsWritten_data();
    void keysReadAsWritten();
    void unsafeSectionsAreRefused_data();
    void unsafeSectionsAreRefused();
    void readingAgainComparesSections_data();
    void readingAgainComparesSections();
};

void DeviceListTest::keysReadAsWritten_data()
{
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<DeviceConfig>("expected");
    QTest::addColumn<QString>("complaint"); // the one complaint, empty for none

    const auto base = [] {
        DeviceConfig config;
        config.name = QStringLiteral("plc1");
        config.device = QStringLiteral("/dev/ttyUSB0");
        return config;
    };
    DeviceConfig c = base();
    c.device.clear();
    c.portNumber = 7;
    QTest::newRow("port number") << QByteArray("Device=7\n") << c << QString();
    c = base();
    c.listen = true;
    c.listenPort = 8002;
    c.network.listenAddress = QStringLiteral("::1");
    QTest::newRow("listen on ADDRESS:PORT") << QByteArray("Listen=[::1]:8002\n") << c << QString();
    c = base();
    c.listen = true;
    c.network = {QStringLiteral("loopback"), QStringLiteral("10.0.0.0/8, 127.0.0.1"), true, 0, true,
                 QStringLiteral("Busy, try later")};
    // Unquoted commas stay text; a comment after ';' is no part of it.
    QTest::newRow("network, commas as typed")
        << QByteArray("Listen=0\nListenAddress=loopback\nAllowedPeers=10.0.0.0/8, 127.0.0.1\n"
                      "Rfc2217=yes\nServerPeers=keep\nServerPeersKickOldest=on\n"
                      "RefusalText=Busy, try later ; shown to refused peers\n")
        << c << QString();
    c = base();
    c.network.kickOldest = true;
    QTest::newRow("KickOldest over ServerPeersKickOldest")
        << QByteArray("ServerPeersKickOldest=no\nKickOldest=true\n") << c
        << u"devices.ini [plc1] KickOldest=true and ServerPeersKickOldest disagree; using KickOldest"_qs;
    c = base();
    c.tls = {false, u"/c.pem"_qs, u"/k.pem"_qs, u"/ca.pem"_qs, u"/sca.pem"_qs, u"1.3"_qs, true, false};
    QTest::newRow("tls") << QByteArray("Enabled=false\nCertificate=/c.pem\nPrivateKey=/k.pem\nClientCa=/ca.pem\n"
                                       "ServerCa=/sca.pem\nMinimumVersion=1.3\nForwarder1=1\nForwarder3=off\n")
                         << c << QString();
    c = base();
    c.softwareForwarder = {u"host1"_qs, 80};
    c.dataHostForwarder = {u"host3"_qs, 9000};
    QTest::newRow("forwarders") << QByteArray("RemoteHost=host1\nRemotePort=80\nRemoteHost3=host3\nRemotePort3=9000\n")
                                << c << QString();
    c = base();
    c.line = {9600, 7, LineSettings::Parity::Even, u"2"_qs, LineSettings::Flow::RtsCts, true, true};
    QTest::newRow("Tolvar's line keys")
        << QByteArray("BaudRate=9600\nDataBits=7\nParity=Even\nStopBits=2\nFlowControl=RtsCts\nDTR=on\nRTS=1\n")
        << c << QString();
    c.line = {115200, 8, LineSettings::Parity::Odd, u"1.5"_qs, LineSettings::Flow::XonXoff, false, false};
    QTest::newRow("command line's line keys") << QByteArray("Baud=115200\nFraming=8O1.5\nFlow=xonxoff\n") << c
                                              << QString();
    c.line = LineSettings {};
    c.line.baudRate = 115200;
    QTest::newRow("Baud over BaudRate") << QByteArray("BaudRate=9600\nBaud=115200\n") << c
                                        << u"devices.ini [plc1] Baud=115200 and BaudRate disagree; using Baud"_qs;
    c = base();
    QTest::newRow("bad baud") << QByteArray("Baud=fast\n") << c
                              << u"devices.ini [plc1] Baud=fast is not valid; using 19200"_qs;
    QTest::newRow("flag typo off") << QByteArray("Rfc2217=maybe\n") << c
                                   << u"devices.ini [plc1] Rfc2217=maybe is not true/false, yes/no, on/off or 1/0; "
                                      "using false"_qs;
    QTest::newRow("unknown key, hint") << QByteArray("allowedPeers=10.0.0.1\n") << c
                                       << u"devices.ini [plc1] allowedPeers is not a setting; ignored "
                                          "(did you mean AllowedPeers?)"_qs;
    QTest::newRow("port without host") << QByteArray("RemotePort3=80\n") << c
                                       << u"devices.ini [plc1] RemotePort3=80 has no RemoteHost3; "
                                          "the data host forwarder is off"_qs;
    QTest::newRow("forwarder port 0") << QByteArray("RemoteHost=h\nRemotePort=0\n") << c
                                      << u"devices.ini [plc1] RemotePort=0 is not a port from 1 to 65535; "
                                         "the software forwarder is off"_qs;
    QTest::newRow("too many peers") << QByteArray("ServerPeers=65\n") << c
                                    << u"devices.ini [plc1] ServerPeers=65 is not keep or a number from 1 to 64; "
                                       "serving one peer"_qs;
    c.network.listenAddress = QStringLiteral("loopback");
    QTest::newRow("listen address typo") << QByteArray("ListenAddress=10.0.0.300\n") << c
                                         << u"devices.ini [plc1] ListenAddress=10.0.0.300 is not any, loopback or "
                                            "an address; listening on loopback"_qs;
    c = base();
    c.announce = true;
    c.announceName = QStringLiteral("Lab bench 3");
    QTest::newRow("announced under its own name") << QByteArray("Announce=yes\nAnnounceName=Lab bench 3\n") << c
                                                  << QString();
    c.announceName.clear();
    QTest::newRow("long name") << "Announce=on\nAnnounceName=" + QByteArray(64, 'n') + "\n" << c
                               << u"devices.ini [plc1] AnnounceName=%1 is longer than 63 bytes; announcing as plc1"_qs
                                      .arg(QString(64, u'n'));
    c = base();
    QTest::newRow("announce typo off") << QByteArray("Announce=ja\n") << c
                                       << u"devices.ini [plc1] Announce=ja is not true/false, yes/no, on/off or "
                                          "1/0; using false"_qs;
    QTest::newRow("name without announce") << QByteArray("AnnounceName=Bench\n") << c
                                           << u"devices.ini [plc1] AnnounceName=Bench has no Announce=true; "
                                              "nothing is announced"_qs;
    c.tls.forwarder3 = true;
    QTest::newRow("tls flag typo on") << QByteArray("Forwarder3=tru\n") << c
                                      << u"devices.ini [plc1] Forwarder3=tru is not true/false, yes/no, on/off or "
                                         "1/0; using true"_qs;
}

void DeviceListTest::keysReadAsWritten()
{
    QFETCH(QByteArray, keys);
    QFETCH(DeviceConfig, expected);
    QFETCH(QString, complaint);
    TestConfig config;
    const QByteArray device = keys.startsWith("Device=") ? QByteArray() : QByteArray("Device=/dev/ttyUSB0\n");
    const DeviceList list = readText(config, "; devices\n[plc1]\n" + device + keys);
    QVERIFY2(list.error.isEmpty() && list.refused.isEmpty(), qPrintable(list.refused.join(u'\n')));
    QCOMPARE(list.devices.size(), 1);
    QCOMPARE(list.devices.first(), expected);
    QCOMPARE(list.complaints, complaint.isEmpty() ? QStringList() : QStringList {complaint});
}

void DeviceListTest::unsafeSectionsAreRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("refusal"); // how the refused line starts: "name: why"

    const QByteArray good = "[good]\nDevice=/dev/ttyUSB0\nListen=8001\n";
    QTest::newRow("no device") << good + "[bad]\nListen=8002\n" << u"bad: no Device"_qs;
    QTest::newRow("port number 65") << good + "[bad]\nDevice=65\n" << u"bad: Device=65 is not a device path"_qs;
    QTest::newRow("device name without a path") << good + "[bad]\nDevice=ttyUSB1\n" << u"bad: Device=ttyUSB1 is not"_qs;
    QTest::newRow("listen is no port") << good + "[bad]\nDevice=/dev/ttyUSB1\nListen=70000\n"
                                       << u"bad: Listen=70000 is not a TCP port"_qs;
    QTest::newRow("two places to listen") << good + "[bad]\nDevice=/dev/ttyUSB1\nListen=127.0.0.1:1\nListenAddress=any\n"
                                          << u"bad: Listen ADDRESS:PORT and ListenAddress both"_qs;
    QTest::newRow("allowed peer typo") << good + "[bad]\nDevice=/dev/ttyUSB1\nAllowedPeers=10.0.0.0/33, 10.1.0.0/16\n"
                                       << u"bad: Allowed peers: \"10.0.0.0/33\" is not"_qs;
    QTest::newRow("allowed peers without '='") << good + "[bad]\nDevice=/dev/ttyUSB1\nAllowedPeers 10.0.0.0/8\n"
                                               << u"bad: line 6 \"AllowedPeers 10.0.0.0/8\" is no KEY=VALUE"_qs;
    QTest::newRow("no text") << good + "[bad]\nDevice=/dev/ttyUSB1\nAllowedPeers=@ByteArray(x)\n"
                             << u"bad: AllowedPeers cannot be read as text"_qs;
    QTest::newRow("tls version") << good + "[bad]\nDevice=/dev/ttyUSB1\nMinimumVersion=1.1\n"
                                 << u"bad: The minimum TLS version \"1.1\""_qs;
    QTest::newRow("tls typo without files") << good + "[bad]\nDevice=/dev/ttyUSB1\nEnabled=yess\n"
                                            << u"bad: TLS is on but no certificate file is set"_qs;
    QTest::newRow("tls file missing") << good + "[bad]\nDevice=/dev/ttyUSB1\nEnabled=on\nCertificate=%DIR%/none.pem\n"
                                      << u"bad: TLS certificate %DIR%/none.pem: "_qs;
    QTest::newRow("forwarder's CA missing")
        << good + "[bad]\nDevice=/dev/ttyUSB1\nRemoteHost=h\nRemotePort=1\nForwarder1=yes\nServerCa=%DIR%/ca.pem\n"
        << u"bad: TLS server CA %DIR%/ca.pem: "_qs;
    QTest::newRow("name is no label") << good + "[plc 2]\nDevice=/dev/ttyUSB1\n"
                                      << u"plc 2: a device's name has only letters"_qs;
    QTest::newRow("General") << good + "[general]\nDevice=/dev/ttyUSB1\n" << u"general: General cannot name"_qs;
    QTest::newRow("header without ']'") << good + "[bad\nDevice=/dev/ttyUSB1\n" << u"bad: line 4 \"[bad\" has no ']'"_qs;
    QTest::newRow("section twice") << good + "[bad]\nDevice=/dev/ttyUSB1\n[bad]\nDevice=/dev/ttyUSB2\n"
                                   << u"bad: the section appears again on line 6"_qs;
    QTest::newRow("same device") << good + "[bad]\nDevice=/dev/ttyUSB0\nListen=8002\n"
                                 << u"bad: Device=/dev/ttyUSB0 is the device of [good]"_qs;
    QTest::newRow("same device by a link")
        << QByteArray("[good]\nDevice=%DIR%/tty\n[bad]\nDevice=%DIR%/link\n") << u"bad: Device=%DIR%/link is the device of [good]"_qs;
    QTest::newRow("same device by its number")
        << QByteArray("[good]\nDevice=%DIR%/tty\n[bad]\nDevice=5\n") << u"bad: Device=5 is the device of [good]"_qs;
    QTest::newRow("same listen port") << good + "[bad]\nDevice=/dev/ttyUSB1\nListen=[::1]:8001\n"
                                      << u"bad: Listen port 8001 is the listen port of [good]"_qs;
    // DNS-SD names compare without case; a section's name is its default.
    QTest::newRow("same announced name") << good + "Announce=yes\n[bad]\nDevice=/dev/ttyUSB1\nAnnounce=1\nAnnounceName=GOOD\n"
                                         << u"bad: the name \"GOOD\" is announced for [good]"_qs;
    QTest::newRow("same name given twice")
        << good + "Announce=yes\nAnnounceName=Bench\n[bad]\nDevice=/dev/ttyUSB1\nAnnounce=on\nAnnounceName=bench\n"
        << u"bad: the name \"bench\" is announced for [good]"_qs;
}

void DeviceListTest::unsafeSectionsAreRefused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, refusal);
    TestConfig config;
    config.pinPorts({{5, config.dir() + QStringLiteral("/link")}});
    QFile tty(config.dir() + QStringLiteral("/tty"));
    QVERIFY(tty.open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(tty.fileName(), config.dir() + QStringLiteral("/link")));
    // Two sections that each listen on port 0 never clash.
    const DeviceList list = readText(config, text + "[other]\nDevice=/dev/ttyUSB9\nListen=0\n[zero]\nDevice=/dev/ttyUSB8\nListen=0\n");
    QCOMPARE(namesOf(list), (QStringList {u"good"_qs, u"other"_qs, u"zero"_qs}));
    QCOMPARE(list.refused.size(), 1);
    QVERIFY2(list.refused.first().startsWith(refusal.replace(u"%DIR%"_qs, config.dir())),
             qPrintable(list.refused.first()));
}

void DeviceListTest::readingAgainComparesSections_data()
{
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QStringList>("changes"); // added, changed, removed, unchanged: names joined by ','

    const QByteArray a = "[a]\nDevice=/dev/ttyUSB0\nListen=8001\nAllowedPeers=10.0.0.0/8\nBaud=9600\n";
    const QByteArray b = "[b]\nDevice=3\nRemoteHost=h\nRemotePort=80\nMinimumVersion=1.2\n";
    QTest::newRow("nothing changed") << a + b << QStringList {u""_qs, u""_qs, u""_qs, u"a,b"_qs};
    QTest::newRow("one of each") << b + "[c]\nDevice=4\n" + QByteArray(a).replace("9600", "19200")
                                 << QStringList {u"c"_qs, u"a"_qs, u""_qs, u"b"_qs};
    QTest::newRow("peers") << QByteArray(a).replace("/8", "/16") + b << QStringList {u""_qs, u"a"_qs, u""_qs, u"b"_qs};
    QTest::newRow("listen") << QByteArray(a).replace("8001", "8002") + b << QStringList {u""_qs, u"a"_qs, u""_qs, u"b"_qs};
    QTest::newRow("forwarder") << a + QByteArray(b).replace("=80", "=81") << QStringList {u""_qs, u"b"_qs, u""_qs, u"a"_qs};
    QTest::newRow("tls") << a + QByteArray(b).replace("1.2", "1.3") << QStringList {u""_qs, u"b"_qs, u""_qs, u"a"_qs};
    QTest::newRow("announced") << a + b + "Announce=on\n" << QStringList {u""_qs, u"b"_qs, u""_qs, u"a"_qs};
    QTest::newRow("refused now") << a + QByteArray(b).replace("=3", "=99") << QStringList {u""_qs, u""_qs, u"b"_qs, u"a"_qs};
    QTest::newRow("removed") << b << QStringList {u""_qs, u""_qs, u"a"_qs, u"b"_qs};
    QTest::newRow("file gone") << QByteArray() << QStringList {u""_qs, u""_qs, u""_qs, u"a,b"_qs};
}

void DeviceListTest::readingAgainComparesSections()
{
    QFETCH(QByteArray, after);
    QFETCH(QStringList, changes);
    TestConfig config;
    const DeviceList before =
        readText(config, "[a]\nDevice=/dev/ttyUSB0\nListen=8001\nAllowedPeers=10.0.0.0/8\nBaud=9600\n"
                         "[b]\nDevice=3\nRemoteHost=h\nRemotePort=80\nMinimumVersion=1.2\n");
    QCOMPARE(namesOf(before), (QStringList {u"a"_qs, u"b"_qs}));
    DeviceList again = readText(config, after);
    if (after.isEmpty()) {
        again = DeviceList::read(config.dir() + QStringLiteral("/gone.ini"), config.dir());
        QVERIFY(again.error.startsWith(config.dir() + QStringLiteral("/gone.ini: ")));
    }
    const DeviceChanges found = compare(before, again);
    QCOMPARE((QStringList {found.added.join(u','), found.changed.join(u','), found.removed.join(u','),
                           found.unchanged.join(u',')}),
             changes);
}

QTEST_GUILESS_MAIN(DeviceListTest)
#include "tst_device_list.moc"
