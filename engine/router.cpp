#include "engine/router.h"

#include "engine/byte_counters.h"
#include "engine/capture_file.h"
#include "engine/flow_control.h"
#include "engine/remote_session.h"
#include "engine/serial_bridge.h"
#include "engine/socket_endpoint.h"
#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"

#include <utility>

Router::Router(const std::array<SocketEndpoint *, EndpointCount> &endpoints, SerialBridge &serial,
               FlowControl &flow, QObject *parent)
    : QObject(parent), m_endpoints(endpoints), m_serial(serial), m_flow(flow)
{
}

Router::~Router() = default;

void Router::setSerialHook(std::function<void(const SocketEndpoint &)> hook)
{
    m_serialHook = std::move(hook);
}

void Router::setGathering(bool on)
{
    for (int destination : routeFrom(SerialNode)) {
        const SocketEndpoint &endpoint = *m_endpoints[std::size_t(destination)];
        endpoint.connection().setGathering(on);
        for (const auto &peer : endpoint.peers)
            peer->connection().setGathering(on);
    }
}

bool Router::sendTo(int destination, const QByteArray &chunk)
{
    if (destination == SerialNode) {
        if (!m_serial.comm().PortOpen())
            return false;
        try {
            m_serial.comm().setOutput(chunk);
        } catch (const ComponentError &) {
            // The device vanished just now; the port's own event reports it.
            return false;
        }
        countBytes(m_serial.sent, m_serial.lastSentMs, chunk.size());
        return true;
    }
    SocketEndpoint &endpoint = *m_endpoints[std::size_t(destination)];
    bool went = sendOn(endpoint, chunk);
    // Every peer of a listener that serves several gets the whole chunk; the
    // endpoint counts what all of them took. By index: a peer may be
    // accepted while a chunk is under way, never removed.
    for (std::size_t i = 0; i < endpoint.peers.size(); ++i) {
        if (sendOn(*endpoint.peers[i], chunk)) {
            countBytes(endpoint.sent, endpoint.lastSentMs, chunk.size());
            went = true;
        }
    }
    return went;
}

bool Router::sendOn(SocketEndpoint &endpoint, const QByteArray &chunk)
{
    if (!endpoint.canSend())
        return false;
    try {
        if (endpoint.session && endpoint.session->active())
            endpoint.session->toPeer(chunk, m_flow.limits().serialQueueLimit);
        else
            endpoint.connection().SendData(chunk);
    } catch (const ComponentError &) {
        // Dropped between the test and the send: the socket's own events
        // report it; the remaining destinations are still served.
        return false;
    }
    countBytes(endpoint.sent, endpoint.lastSentMs, chunk.size());
    return true;
}

void Router::fanOut(int source, const QByteArray &chunk)
{
    const std::span<const int> destinations = routeFrom(source);
    std::array<int, NodeCount> served {};
    std::size_t count = 0;
    for (int destination : destinations) {
        if (source == SerialNode && destination == destinations.back() && m_serialHook)
            m_serialHook(*m_endpoints[std::size_t(destination)]);
        if (sendTo(destination, chunk))
            served[count++] = destination;
    }
    if (m_capture)
        capture(source, std::span(served).first(count), chunk);
    // Destinations that filled up hold their sources back from here on.
    m_flow.check();
}

bool Router::startCapture(const QString &path, qint64 limit, QString *error)
{
    auto file = std::make_unique<CaptureFile>();
    if (!file->open(path, limit, error))
        return false;
    m_capture = std::move(file);
    qCInfo(lcApp, "capture to %s started (limit %lld bytes)", qUtf8Printable(path), limit);
    emit captureChanged(true);
    return true;
}

void Router::stopCapture()
{
    if (!m_capture)
        return;
    qCInfo(lcApp, "capture to %s stopped", qUtf8Printable(m_capture->path()));
    m_capture.reset();
    emit captureChanged(false);
}

void Router::capture(int source, std::span<const int> served, const QByteArray &chunk)
{
    QString why;
    if (m_capture->record(source, served, chunk, &why))
        return;
    qCWarning(lcApp, "capture to %s stopped: %s", qUtf8Printable(m_capture->path()),
              qUtf8Printable(why));
    m_capture.reset();
    emit captureChanged(false);
}
