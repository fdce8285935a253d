#include "relay/byte_counters.h"

#include <QStringList>

QString ByteCounters::nodeName(int node)
{
    static const char *const names[NodeCount] = {"gateway", "software forwarder", "TCP/IP Server",
                                                 "data host", "serial"};
    return node >= 0 && node < NodeCount ? QLatin1String(names[node]) : QString();
}

QString ByteCounters::describe() const
{
    QStringList parts;
    for (int node = 0; node < NodeCount; ++node) {
        parts.append(QStringLiteral("%1 in %2 out %3")
                         .arg(nodeName(node))
                         .arg(received[std::size_t(node)])
                         .arg(sent[std::size_t(node)]));
    }
    parts.append(QStringLiteral("dropped %1 (%2 bytes)").arg(droppedDestinations).arg(droppedBytes));
    return parts.join(QStringLiteral(" | "));
}
