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

} // namespace winsock_os
