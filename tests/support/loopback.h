#pragma once

#include <QtGlobal>

// A TCP port on 127.0.0.1 that was free a moment ago (bound, then released).
[[nodiscard]] quint16 freeLoopbackPort();
