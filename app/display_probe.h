#pragma once

// True when a platform Qt would start the window on can reach its display:
// the ones QT_QPA_PLATFORM names, else Wayland where the session is one and
// X11. Those that draw without one (offscreen, minimal, vnc, ...) always
// can. Qt aborts the process when none can, so the window asks first.
[[nodiscard]] bool displayReachable();
