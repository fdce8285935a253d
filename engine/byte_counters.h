#pragma once

#include "engine/endpoint_table.h"

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
    quint64 droppedDestinations = 0;
    quint64 droppedBytes = 0;

    // One line for people: "gateway in 12 out 40 | ... | dropped 1 (4096 bytes)".
    [[nodiscard]] QString describe() const;
    // The name of route node `node` for people.
    [[nodiscard]] static QString nodeName(int node);
};
