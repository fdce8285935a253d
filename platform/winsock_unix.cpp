#include "platform/winsock_os.h"

#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace winsock_os {

void setKeepAliveTiming(qintptr fd, int idleSeconds, int intervalSeconds, int probes)
{
    if (fd < 0)
        return;
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

void setResetOnClose(qintptr fd)
{
    if (fd < 0)
        return;
    const linger reset {1, 0};
    ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

qintptr duplicate(qintptr fd)
{
    return fd < 0 ? -1 : ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
}

qint64 sendSome(qintptr fd, const char *data, qint64 size)
{
    for (;;) {
        const ssize_t n = ::send(int(fd), data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

void closeDescriptor(qintptr fd)
{
    if (fd >= 0)
        ::close(int(fd));
}

bool peerOf(qintptr fd, QHostAddress *address, quint16 *port)
{
    sockaddr_storage peer {};
    socklen_t size = sizeof peer;
    if (::getpeername(int(fd), reinterpret_cast<sockaddr *>(&peer), &size) != 0)
        return false;
    address->setAddress(reinterpret_cast<const sockaddr *>(&peer));
    if (peer.ss_family == AF_INET6)
        *port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
    else
        *port = ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
    return !address->isNull();
}

bool socketPair(qintptr ends[2])
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    ends[0] = fds[0];
    ends[1] = fds[1];
    return true;
}

qintptr acceptOne(qintptr fd, int *error)
{
    for (;;) {
        const int accepted = ::accept4(int(fd), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted >= 0) {
            *error = 0;
            return accepted;
        }
        // A peer that left before it was taken is nobody's concern.
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        *error = errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
        return -1;
    }
}

bool isShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

QString describeError(int error)
{
    QString text = QString::fromLocal8Bit(std::strerror(error));
    rlimit limit {};
    if (error == EMFILE && ::getrlimit(RLIMIT_NOFILE, &limit) == 0)
        text += QStringLiteral(" (limit %1)").arg(quint64(limit.rlim_cur));
    return text;
}

quint64 descriptorLimit()
{
    rlimit limit {};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? quint64(limit.rlim_cur) : 0;
}

quint64 raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return quint64(limit.rlim_cur);
}

} // namespace winsock_os
