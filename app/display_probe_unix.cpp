#include "app/display_probe.h"

#include <QByteArray>
#include <QLibrary>
#include <QList>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Through libxcb itself, loaded only for this: the same connection and
// authorisation the xcb platform makes, so a display that refuses us counts
// as none.
bool x11Reachable()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
    QLibrary xcb(QStringLiteral("xcb"), 1);
    const auto connect = reinterpret_cast<void *(*)(const char *, int *)>(xcb.resolve("xcb_connect"));
    const auto hasError = reinterpret_cast<int (*)(void *)>(xcb.resolve("xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<void (*)(void *)>(xcb.resolve("xcb_disconnect"));
    if (!connect || !hasError || !disconnect)
        return false;
    void *connection = connect(nullptr, nullptr); // never null: a failed one carries its error
    const bool reached = hasError(connection) == 0;
    disconnect(connection);
    return reached;
}

// The compositor's socket, where the Wayland client library looks for it.
bool waylandReachable()
{
    if (qEnvironmentVariableIsSet("WAYLAND_SOCKET"))
        return true; // handed over already connected
    QByteArray path = qgetenv("WAYLAND_DISPLAY");
    if (path.isEmpty())
        path = "wayland-0";
    if (!path.startsWith('/'))
        path = qgetenv("XDG_RUNTIME_DIR") + '/' + path;
    sockaddr_un address {};
    if (!path.startsWith('/') || std::size_t(path.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool reached = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return reached;
}

} // namespace

bool displayReachable()
{
    QList<QByteArray> platforms = qgetenv("QT_QPA_PLATFORM").split(';');
    if (platforms.constFirst().isEmpty()) {
        // Qt's own choice: Wayland first where the session is one, then X11.
        platforms = {"xcb"};
        if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland")
            platforms.prepend("wayland");
    }
    for (const QByteArray &platform : std::as_const(platforms)) {
        const QByteArray name = platform.split(':').constFirst().trimmed(); // "xcb:option=..."
        if (name == "xcb" ? x11Reachable() : name.startsWith("wayland") ? waylandReachable() : true)
            return true;
    }
    return false;
}
