#pragma once

#include "engine/endpoint_table.h"

#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <array>

// What has flowed: bytes taken from and handed to each route node (the four
// socket endpoints and the serial port), and the destinations cut off
// because they stalled or fell behind, with the bytes they still held. Each
// count on the relay's path is one addition.
struct ByteCounters {
    std::array<quint64, NodeCount> received {};
    std::array<quint64, NodeCount> sent {};
    // When the last byte each way passed, in ms since the epoch; 0: none yet.
    std::array<qint64, NodeCount> lastReceived {};
    std::array<qint64, NodeCount> lastSent {};
    quint64 droppedDestinations = 0;
    quint64 droppedBytes = 0;

    // One line for people: "gateway in 12 out 40 | ... | dropped 1 (4096 bytes)".
    [[nodiscard]] QString describe() const;
    // The name of route node `node` for people.
    [[nodiscard]] static QString nodeName(int node);
    // Its name for scripts ("server", "serial"): a metric label.
    [[nodiscard]] static QString nodeKey(int node);
};

// Counts `bytes` more on a node's way in or out and notes the time.
inline void countBytes(quint64 &total, qint64 &lastMs, qsizetype bytes)
{
    total += quint64(bytes);
    lastMs = QDateTime::currentMSecsSinceEpoch();
}
