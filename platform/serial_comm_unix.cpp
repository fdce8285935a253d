#include "platform/serial_comm_os.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace serial_os {

bool mayReadWrite(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

bool hungUp(int fd)
{
    if (fd < 0)
        return true;
    pollfd p {fd, POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return true;
    termios t {};
    return ::tcgetattr(fd, &t) != 0
        && (errno == EIO || errno == ENXIO || errno == ENODEV || errno == EBADF);
}

qint64 readSome(int fd, char *buffer, qint64 size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size_t(size));
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

QByteArray readRemaining(int fd)
{
    QByteArray out;
    if (fd < 0)
        return out;
    char buffer[65536];
    for (int rounds = 0; rounds < 64; ++rounds) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return out;
}

bool settleParity(int fd, LineSettings::Parity parity)
{
    termios t {};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0)
        return false;
    tcflag_t keep = 0;
    switch (parity) {
    case LineSettings::Parity::Odd: keep = PARODD; break;
    case LineSettings::Parity::Mark: keep = PARODD | CMSPAR; break;
    case LineSettings::Parity::Space: keep = CMSPAR; break;
    case LineSettings::Parity::None:
    case LineSettings::Parity::Even: break;
    }
    const tcflag_t stale = t.c_cflag & (PARODD | CMSPAR) & ~keep;
    if (stale == 0)
        return true;
    t.c_cflag &= ~stale;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

bool readFraming(int fd, LineSettings *line)
{
    termios t {};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0)
        return false;
    switch (t.c_cflag & CSIZE) {
    case CS5: line->dataBits = 5; break;
    case CS6: line->dataBits = 6; break;
    case CS7: line->dataBits = 7; break;
    default: line->dataBits = 8; break;
    }
    using Parity = LineSettings::Parity;
    const bool odd = t.c_cflag & PARODD;
    if (!(t.c_cflag & PARENB))
        line->parity = Parity::None;
    else if (t.c_cflag & CMSPAR)
        line->parity = odd ? Parity::Mark : Parity::Space;
    else
        line->parity = odd ? Parity::Odd : Parity::Even;
    // 1.5 stop bits are 2 with 5 data bits.
    if (!(t.c_cflag & CSTOPB))
        line->stopBits = QStringLiteral("1");
    else if (line->stopBits != QLatin1String("1.5") || line->dataBits != 5)
        line->stopBits = QStringLiteral("2");
    return true;
}

bool holdsSenderByItself(const QString &path, int fd)
{
    // Unix98 pty slaves: majors 136..143 (UNIX98_PTY_SLAVE_MAJOR and the
    // seven that follow it).
    struct stat st {};
    const bool statted = fd >= 0 ? ::fstat(fd, &st) == 0
                                 : !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0;
    if (statted && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143)
        return true;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString resolved = canonical.isEmpty() ? path : canonical;
    return resolved.startsWith(QLatin1String("/dev/pts/"))
        || QFileInfo(resolved).fileName().startsWith(QLatin1String("ttyACM"));
}

} // namespace serial_os
