#pragma once

#include <QString>

// The folder of all per-user files: $XDG_CONFIG_HOME/quaylight, or
// ~/.config/quaylight when the variable is unset or empty. The folder is not
// created here; writers create it when they first need it.
[[nodiscard]] QString quaylightConfigDir();

// The folder systemd gave a service of its own (StateDirectory=, read from
// $STATE_DIRECTORY, its first entry when it names several); empty when the
// program does not run as such a service. What the program writes for
// itself goes there, since its configuration folder may be read-only.
[[nodiscard]] QString quaylightServiceStateDir();
