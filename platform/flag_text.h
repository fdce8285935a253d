#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// How every settings file writes a yes-or-no value: true/false, yes/no,
// on/off or 1/0, in any case, spaces around it ignored.
namespace flag_text {

// The forms a flag takes, for messages that name them.
inline constexpr char Forms[] = "true/false, yes/no, on/off or 1/0";

// The flag `text` stands for; nothing for any other text (an empty one too).
[[nodiscard]] std::optional<bool> parse(QStringView text);

// "true" or "false", as the hub writes a flag.
[[nodiscard]] QString write(bool on);

} // namespace flag_text
