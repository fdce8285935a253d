// Both port-text conversions on any text: they may refuse it, but never
// crash, and what the strict one accepts the lenient one reads the same.

#include "platform/component_error.h"
#include "engine/port_text.h"

#include <QString>

#include <cstdlib>
#include <optional>

namespace {
std::optional<qint32> convert(qint32 (*conversion)(const QString &), const QString &text, int &code)
{
    try {
        return conversion(text);
    } catch (const ComponentError &error) {
        code = error.code();
        return std::nullopt;
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    int listenCode = 0;
    int connectCode = 0;
    const auto lenient = convert(listenPortFromText, text, listenCode);
    const auto strict = convert(connectPortFromText, text, connectCode);
    if (!lenient && listenCode != OverflowCode)
        std::abort(); // Listen refuses only values outside 32 bits
    if (!strict && connectCode != OverflowCode && connectCode != TypeMismatchCode)
        std::abort();
    if (strict && (!lenient || *lenient != *strict))
        std::abort(); // a whole number reads the same both ways
    return 0;
}
