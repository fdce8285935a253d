#pragma once

#include <QtGlobal>

// What this test process holds, from /proc/self: for leak and memory checks.

// ASan keeps freed memory in quarantine, so resident sizes say nothing about
// leaks there (LeakSanitizer checks those at exit instead).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool RssIsMeaningful = false;
#else
inline constexpr bool RssIsMeaningful = true;
#endif

// Open file descriptors.
[[nodiscard]] int openDescriptors();

// A KiB field of /proc/self/status ("VmRSS:", "VmHWM:"); -1 when unreadable.
[[nodiscard]] qint64 statusKiB(const char *field);

// Forgets the peak resident size so far: VmHWM restarts from VmRSS.
void resetPeakResident();
