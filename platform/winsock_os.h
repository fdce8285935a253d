#pragma once

#include <QHostAddress>
#include <QString>
#include <QtGlobal>

// The operating-system side of Winsock: socket options Qt does not offer.
// Private to platform/; implemented per OS (winsock_unix.cpp).
namespace winsock_os {

// Probes an idle connection: first after `idleSeconds`, then every
// `intervalSeconds`, failing it after `probes` unanswered ones. Qt's
// KeepAliveOption must be on already. Best effort: a refused option is
// ignored (the connection still works, a dead peer is noticed later).
void setKeepAliveTiming(qintptr fd, int idleSeconds, int intervalSeconds, int probes);

// Makes the next close of `fd` end the connection with a reset (SO_LINGER
// on with a zero timeout): unsent bytes are dropped, the peer reads
// ECONNRESET. Best effort like the above.
void setResetOnClose(qintptr fd);

// A second descriptor of the same connection (close-on-exec), or -1.
[[nodiscard]] qintptr duplicate(qintptr fd);

// Sends what the OS takes now, without waiting and without SIGPIPE: the
// count taken (0 when it takes nothing now), or -1 when the connection can
// take nothing any more (the peer is gone).
[[nodiscard]] qint64 sendSome(qintptr fd, const char *data, qint64 size);

void closeDescriptor(qintptr fd);

// The address and port of the peer of connected `fd`; false when the OS
// cannot say (the peer is gone already).
[[nodiscard]] bool peerOf(qintptr fd, QHostAddress *address, quint16 *port);

// Two connected stream descriptors (close-on-exec), or false.
[[nodiscard]] bool socketPair(qintptr ends[2]);

// Accepts one connection waiting on listening `fd` (non-blocking,
// close-on-exec): its descriptor, or -1 with `*error` 0 when none waits
// now, else the errno of the failure.
[[nodiscard]] qintptr acceptOne(qintptr fd, int *error);

// True when `error` means the process or the system is out of descriptors
// or memory for one.
[[nodiscard]] bool isShortage(int error);

// The system's words for `error` ("Too many open files"), with the limit
// when it is the process's.
[[nodiscard]] QString describeError(int error);

// Raises this process's soft limit on open descriptors to its hard limit;
// returns the limit in effect afterwards (0 when it cannot be read).
quint64 raiseDescriptorLimit();
// The soft limit on open descriptors now (0 when it cannot be read).
[[nodiscard]] quint64 descriptorLimit();

} // namespace winsock_os
