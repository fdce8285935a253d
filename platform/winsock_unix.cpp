#include "platform/winsock_os.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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

} // namespace winsock_os
