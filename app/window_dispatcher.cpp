#include "app/window_dispatcher.h"

#include <QGuiApplication>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformintegration.h>
#include <qpa/qwindowsysteminterface.h>

#include <xcb/xcb.h>

namespace {

// The dispatcher every QPA platform without a reader of its own brings
// (offscreen, minimal, wayland, eglfs...): Qt's UNIX dispatcher plus the
// window-system events, which finishPass() delivers here.
constexpr char PlainQpaDispatcher[] = "QUnixEventDispatcherQPA";
// The X11 platform's: it also reads the queue its reader thread fills.
constexpr char XcbDispatcher[] = "QXcbUnixEventDispatcher";

} // namespace

WindowDispatcher::WindowDispatcher(QObject *parent)
    : EpollDispatcher(parent)
{
}

WindowDispatcher::~WindowDispatcher() = default;

QByteArray WindowDispatcher::platformHelper() const
{
    return m_platform ? QByteArray(m_platform->metaObject()->className()) : QByteArray();
}

void WindowDispatcher::wakeUp()
{
    // Only other threads can have filled the platform's own queue (the X
    // reader); the relay's thread wakes its dispatcher for posted events.
    if (!onOwnThread())
        m_foreignWake.store(true);
    EpollDispatcher::wakeUp();
}

void WindowDispatcher::attach()
{
    QPlatformIntegration *integration = QGuiApplicationPrivate::platformIntegration();
    if (integration == m_integration)
        return;
    // A new application object (a test makes one after another): the old
    // platform is gone, and with it whatever its dispatcher pointed at.
    m_integration = integration;
    m_platform.reset();
    m_platformEveryPass = false;
    m_xcb = nullptr;
    if (!integration)
        return;
    // Qt makes the platform's dispatcher only when none is installed; made
    // here it owns no descriptor and no timer: all of them come to this one.
    std::unique_ptr<QAbstractEventDispatcher> platform(integration->createEventDispatcher());
    const QByteArray kind = platform ? QByteArray(platform->metaObject()->className()) : QByteArray();
    if (!platform || kind == PlainQpaDispatcher)
        return; // finishPass() does all it does beyond the UNIX dispatcher
    if (kind == XcbDispatcher) {
        if (auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
            m_xcb = x11->connection();
    } else {
        // A platform not known here: its dispatcher gets every pass, which
        // costs it a zero-timeout poll but loses nothing.
        qWarning("WindowDispatcher: %s: the platform's dispatcher runs every pass", kind.constData());
        m_platformEveryPass = true;
    }
    m_platform = std::move(platform);
    m_foreignWake.store(true); // whatever the reader queued before now
    // Let go of it with the application, while its plugin is still loaded.
    connect(qApp, &QObject::destroyed, this, [this] {
        m_platform.reset();
        m_integration = nullptr;
        m_xcb = nullptr;
    });
}

void WindowDispatcher::startPass(QEventLoop::ProcessEventsFlags flags)
{
    attach();
    if (m_platform && (m_platformEveryPass || m_foreignWake.exchange(false))) {
        // Its pass sends the posted events first, then reads its own queue
        // and delivers the window-system events; it neither waits nor
        // serves notifiers or timers (it has none).
        m_platform->processEvents((flags & QEventLoop::ExcludeUserInputEvents)
                                  | QEventLoop::ExcludeSocketNotifiers | QEventLoop::X11ExcludeTimers);
        // The input it held back is read again by a pass that takes input.
        if (flags & QEventLoop::ExcludeUserInputEvents)
            m_foreignWake.store(true);
        return;
    }
    EpollDispatcher::startPass(flags);
}

bool WindowDispatcher::finishPass(QEventLoop::ProcessEventsFlags flags)
{
    const bool sent = m_integration && QWindowSystemInterface::sendWindowSystemEvents(flags);
    // The X requests this pass made (painting, a window shown) leave now, as
    // the xcb dispatcher has them leave after every pass; nothing to write
    // costs no system call.
    if (m_xcb)
        xcb_flush(m_xcb);
    return sent;
}

void useWindowEventDispatcher()
{
    if (qEnvironmentVariable("QUAYLIGHT_EVENT_DISPATCHER") == QLatin1String("unix"))
        return;
    QCoreApplication::setEventDispatcher(new WindowDispatcher);
}
