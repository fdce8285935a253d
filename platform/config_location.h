#pragma once

#include <QString>

// The folder of all per-user files: $XDG_CONFIG_HOME/quaylight, or
// ~/.config/quaylight when the variable is unset or empty. The folder is not
// created here; writers create it when they first need it.
[[nodiscard]] QString quaylightConfigDir();
