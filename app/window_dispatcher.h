#pragma once

#include "platform/epoll_dispatcher.h"

#include <atomic>
#include <memory>

class QPlatformIntegration;
struct xcb_connection_t;

// The window's event dispatcher: the relay's epoll dispatcher plus what a
// window's platform plugin needs from the dispatcher it brings along. Every
// pass ends by delivering the window-system events queued for it (input,
// expose, resize), as Qt's own QPA dispatcher does, with the pass's flags
// (ExcludeUserInputEvents keeps input for a later pass).
//
// The X11 platform (xcb) reads the X connection in a thread of its own,
// queues what it reads and wakes the main thread's dispatcher; only its own
// dispatcher knows how to turn that queue into window-system events. So on
// xcb this dispatcher keeps the platform's dispatcher beside it, owning no
// descriptor or timer, and hands it the start of a pass after a wake-up from
// another thread: it sends the posted events (what the start of a pass does
// anyway), reads the X queue and delivers the window-system events. A pass
// after a wake-up from the relay's own thread pays none of that. The X
// requests a pass made are flushed at its end, as the xcb dispatcher does.
class WindowDispatcher : public EpollDispatcher
{
    Q_OBJECT

public:
    explicit WindowDispatcher(QObject *parent = nullptr);
    ~WindowDispatcher() override;

    void wakeUp() override;

    // The platform's own dispatcher's class when it is kept beside this one
    // (xcb), else empty; for tests and diagnostics.
    [[nodiscard]] QByteArray platformHelper() const;

protected:
    void startPass(QEventLoop::ProcessEventsFlags flags) override;
    bool finishPass(QEventLoop::ProcessEventsFlags flags) override;

private:
    // Looks at the platform once the GUI application has one.
    void attach();

    QPlatformIntegration *m_integration = nullptr;
    std::unique_ptr<QAbstractEventDispatcher> m_platform;
    bool m_platformEveryPass = false; // an unknown platform dispatcher: every pass
    xcb_connection_t *m_xcb = nullptr;
    std::atomic<bool> m_foreignWake {true};
};

// Installs WindowDispatcher for the main thread unless
// QUAYLIGHT_EVENT_DISPATCHER=unix (Qt's own, the platform's). Call before
// the application object is made.
void useWindowEventDispatcher();
