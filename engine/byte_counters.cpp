#include "engine/byte_counters.h"

#include <QStringList>

QString ByteCounters::nodeName(int node)
{
    if (isEndpoint(node))
        return QLatin1String(EndpointRows[std::size_t(node)].name);
    return node == SerialNode ? QStringLiteral("serial") : QString();
}

QString ByteCounters::nodeKey(int node)
{
    if (isEndpoint(node))
        return QLatin1String(EndpointRows[std::size_t(node)].key);
    return node == SerialNode ? QStringLiteral("serial") : QString();
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
