#include "link/link_device.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Bytes read from the master in one notification at most, so the socket
// side gets its turn while an application writes without pause.
constexpr qint64 ReadPerNotification = 256 * 1024;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

constexpr struct {
    speed_t code;
    qint32 rate;
} Speeds[] = {
    {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200},
    {B300, 300}, {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400},
    {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600},
    {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
    {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

qint32 bitsPerSecond(speed_t speed)
{
    for (const auto &s : Speeds) {
        if (s.code == speed)
            return s.rate;
    }
    return 0;
}

} // namespace

LinkDevice::LinkDevice(QObject *parent) : QObject(parent) { }

LinkDevice::~LinkDevice()
{
    removeLink();
    // The notifiers go before their descriptor: a dispatcher that keeps its
    // set in the kernel must hear of them while the descriptor still names
    // this pseudo-terminal.
    delete m_readNotifier;
    delete m_writeNotifier;
    if (m_master >= 0)
        ::close(m_master);
    if (m_terminal >= 0)
        ::close(m_terminal);
}

QString LinkDevice::create(const QString &path)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return QStringLiteral("no pseudo-terminal: %1").arg(errnoText(errno));
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0)
        return QStringLiteral("no pseudo-terminal: %1").arg(errnoText(errno));
    m_terminalPath = QString::fromLocal8Bit(name);
    m_terminal = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_terminal < 0)
        return QStringLiteral("%1: %2").arg(m_terminalPath, errnoText(errno));

    // Raw, so the application reads what the hub's device sent; EXTPROC
    // before packet mode, so that this change raises no notice.
    termios t {};
    ::tcgetattr(m_terminal, &t);
    ::cfmakeraw(&t);
    t.c_lflag |= EXTPROC;
    ::tcsetattr(m_terminal, TCSANOW, &t);
    int on = 1;
    if (::ioctl(m_master, TIOCPKT, &on) != 0)
        return QStringLiteral("no packet mode on %1: %2").arg(m_terminalPath, errnoText(errno));

    const QByteArray link = QFile::encodeName(path);
    struct stat there {};
    if (::lstat(link.constData(), &there) == 0) {
        if (!S_ISLNK(there.st_mode))
            return QStringLiteral("%1 exists and is not a symbolic link").arg(path);
        ::unlink(link.constData());
    }
    if (::symlink(name, link.constData()) != 0)
        return QStringLiteral("%1: %2").arg(path, errnoText(errno));
    m_linkPath = path;

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &LinkDevice::readMaster);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &LinkDevice::writeMaster);
    return {};
}

void LinkDevice::removeLink()
{
    if (m_linkPath.isEmpty())
        return;
    // Another run may have taken the name since: its link stays.
    if (QFile::symLinkTarget(m_linkPath) == m_terminalPath)
        QFile::remove(m_linkPath);
    m_linkPath.clear();
}

LinkDevice::Line LinkDevice::line() const
{
    Line line;
    termios t {};
    if (::tcgetattr(m_terminal, &t) != 0)
        return line;
    line.baudRate = bitsPerSecond(::cfgetospeed(&t));
    line.stopBits = (t.c_cflag & CSTOPB) ? QStringLiteral("2") : QStringLiteral("1");
    // PARENB never survives here; the bits that qualify it do.
    if (t.c_cflag & CMSPAR) {
        line.parityShown = true;
        line.parity = (t.c_cflag & PARODD) ? LineSettings::Parity::Mark : LineSettings::Parity::Space;
    } else if (t.c_cflag & PARODD) {
        line.parityShown = true;
        line.parity = LineSettings::Parity::Odd;
    }
    return line;
}

void LinkDevice::setLine(const Line &line)
{
    termios t {};
    if (::tcgetattr(m_terminal, &t) != 0)
        return;
    for (const auto &s : Speeds) {
        if (s.rate == line.baudRate) {
            ::cfsetospeed(&t, s.code);
            ::cfsetispeed(&t, s.code);
        }
    }
    t.c_cflag &= ~(CSTOPB | PARODD | CMSPAR);
    if (line.stopBits == QLatin1String("2"))
        t.c_cflag |= CSTOPB;
    if (line.parityShown && line.parity == LineSettings::Parity::Odd)
        t.c_cflag |= PARODD;
    else if (line.parityShown && line.parity == LineSettings::Parity::Mark)
        t.c_cflag |= PARODD | CMSPAR;
    else if (line.parityShown && line.parity == LineSettings::Parity::Space)
        t.c_cflag |= CMSPAR;
    ::tcsetattr(m_terminal, TCSANOW, &t);
}

void LinkDevice::keepExtproc() const
{
    // An application that builds its termios from nothing clears EXTPROC,
    // and with it every later notice: set it again.
    termios t {};
    if (::tcgetattr(m_terminal, &t) == 0 && !(t.c_lflag & EXTPROC)) {
        t.c_lflag |= EXTPROC;
        ::tcsetattr(m_terminal, TCSANOW, &t);
    }
}

void LinkDevice::readMaster()
{
    // A notice comes before data written earlier that still waits: the
    // data is read first, so bytes written before a change go out before it.
    bool changed = false;
    QByteArray data;
    char buffer[65536 + 1];
    while (data.size() < ReadPerNotification) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break; // EAGAIN: all read; EIO cannot come while m_terminal is open
        if (buffer[0] == TIOCPKT_DATA)
            data.append(buffer + 1, n - 1);
        else if (buffer[0] & TIOCPKT_IOCTL)
            changed = true;
    }
    if (!data.isEmpty())
        emit dataRead(data);
    if (changed) {
        keepExtproc();
        emit lineChanged();
    }
}

void LinkDevice::write(const QByteArray &bytes)
{
    m_outgoing += bytes;
    writeMaster();
}

void LinkDevice::writeMaster()
{
    qint64 done = 0;
    while (done < m_outgoing.size()) {
        const ssize_t n = ::write(m_master, m_outgoing.constData() + done, size_t(m_outgoing.size() - done));
        if (n <= 0)
            break; // EAGAIN: the application has not read yet
        done += n;
    }
    m_outgoing.remove(0, done);
    m_writeNotifier->setEnabled(!m_outgoing.isEmpty());
    if (done > 0)
        emit bytesWritten();
}

void LinkDevice::setReading(bool on)
{
    m_readNotifier->setEnabled(on);
}
