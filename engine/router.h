#pragma once

#include "engine/endpoint_table.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <span>

class CaptureFile;
class FlowControl;
class SerialBridge;
class SocketEndpoint;

// Where chunks go: along the route table, each destination only if it takes
// data at that moment (connected, or open; a socket whose peer closed may
// still take bytes, for its peer may have closed only its sending side and
// wait for an answer); nothing is kept for later. Both
// directions go through fanOut. Also the capture of what was relayed, and the
// write gathering of a serial delivery.
class Router : public QObject
{
    Q_OBJECT

public:
    // Everything given must outlive this.
    Router(const std::array<SocketEndpoint *, EndpointCount> &endpoints, SerialBridge &serial,
           FlowControl &flow, QObject *parent = nullptr);
    ~Router() override;

    // Sends `chunk` from route node `source` to its destinations in the
    // table's order, counts and captures it, and lets flow control look at
    // the destinations. Before the last destination of a serial chunk the
    // serial hook runs (see setSerialHook).
    void fanOut(int source, const QByteArray &chunk);

    // Runs before the last destination of each serial chunk is served; it
    // is given that destination. The passes of the event queue the serial
    // direction makes there, so that a peer accepted in them still gets the
    // chunk, are this hook.
    void setSerialHook(std::function<void(const SocketEndpoint &)> hook);

    // While on, what goes to the serial direction's socket destinations is
    // kept and leaves in one write when it is switched off (a delivery of
    // several reads becomes one segment).
    void setGathering(bool on);

    // Writes every relayed chunk to `path` until stopCapture() or until the
    // file reaches `limit` bytes (a log line says so). False, with `error`
    // set, when the file cannot be written.
    bool startCapture(const QString &path, qint64 limit, QString *error);
    void stopCapture();
    [[nodiscard]] bool capturing() const { return m_capture != nullptr; }

signals:
    // A capture started (true) or ended (false), also by its size limit.
    void captureChanged(bool capturing);

private:
    // Hands `chunk` to one destination if it takes data now; true when it went.
    [[nodiscard]] bool sendTo(int destination, const QByteArray &chunk);
    // Hands `chunk` to one socket (an endpoint's own, or a peer's), through
    // its RFC 2217 session while that is on; true when it went.
    [[nodiscard]] bool sendOn(SocketEndpoint &endpoint, const QByteArray &chunk);
    void capture(int source, std::span<const int> served, const QByteArray &chunk);

    const std::array<SocketEndpoint *, EndpointCount> &m_endpoints;
    SerialBridge &m_serial;
    FlowControl &m_flow;
    std::function<void(const SocketEndpoint &)> m_serialHook;
    std::unique_ptr<CaptureFile> m_capture;
};
