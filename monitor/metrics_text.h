#pragma once

#include "engine/engine.h"

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>

// What the hub reports to tools that watch it, written from one snapshot of
// the engine: nothing here counts anything itself.
namespace metrics_text {

// The Prometheus text exposition format 0.0.4: byte counters per endpoint
// and for the serial port, drops, refusals, endpoint and port states, the
// device losses, the last byte each way, the start time and the build.
// `version` is the program's.
[[nodiscard]] QByteArray prometheus(const Engine::Snapshot &snapshot, const QString &version);

// One hub of several, by its name.
struct Device {
    QString name;
    Engine::Snapshot snapshot;
};
// Every hub of a process in one text: each series labelled device="NAME".
[[nodiscard]] QByteArray prometheus(const QList<Device> &devices, const QString &version);

// The same as one JSON object, for scripts.
[[nodiscard]] QByteArray statusJson(const Engine::Snapshot &snapshot, const QString &version);
// Every hub of a process: {"version", "devices": [{"name", ...one hub...}]}.
[[nodiscard]] QByteArray statusJson(const QList<Device> &devices, const QString &version);
// The "devices" list of that text: one object per hub, with its "name".
[[nodiscard]] QJsonArray devicesJson(const QList<Device> &devices);

} // namespace metrics_text
