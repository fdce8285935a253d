#include "platform/winsock_os.h"

#include <cerrno>
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

} // namespace winsock_os
