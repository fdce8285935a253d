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
