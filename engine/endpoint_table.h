#pragma once

#include <array>
#include <span>

// The endpoint rows: the four socket endpoints Winsock1(0..3) and the serial
// port as nodes of the relay, what each endpoint's role can do, and where
// each node's chunks go. This is the one place that knows endpoint numbers;
// everything else reads a row.
enum class EndpointRole {
    GatewayListener,   // 0: a field gateway connects here
    SoftwareForwarder, // 1: client to the host software
    ServerListener,    // 2: the "TCP/IP Server", one further peer
    DataHostForwarder, // 3: client to the remote data host
};

// What the supervision tick does for an armed endpoint that is not connected.
enum class Rearm { Never, Connect, Listen };

struct EndpointRow {
    int index;                 // Winsock1(index)
    EndpointRole role;
    bool listens;              // takes peers: Listen / Close buttons, the network settings
    bool connects;             // a forwarder: Connect / Close, the connected event
    Rearm rearm;               // kept up by the tick while armed
    bool passAfterListen;      // the Listen action makes a pass of the event queue
    bool speaksRfc2217;        // while [network] Rfc2217 is on
    bool sharesPeers;          // [network] ServerPeers: may go on listening with peers
    const char *closeCaption;  // the caption a peer's close sets, or none
    const char *portKey;       // Harborcast.ini [startup]
    const char *portDefault;
    const char *hostKey;       // forwarders only
    const char *name;          // for people (log, counters, capture), as the window names it
    const char *key;           // for scripts: metric labels, /status
};

inline constexpr int EndpointCount = 4;
inline constexpr int SerialNode = 4; // the serial port, as a route node
inline constexpr int NodeCount = 5;

inline constexpr std::array<EndpointRow, EndpointCount> EndpointRows {{
    {0, EndpointRole::GatewayListener, true, false, Rearm::Never, false, false, false,
     "TCP Server Closed", "LocalPort", "8080", nullptr, "gateway", "gateway"},
    {1, EndpointRole::SoftwareForwarder, false, true, Rearm::Connect, false, false, false, nullptr,
     "RemotePort", "80", "RemoteHost", "software forwarder", "software_forwarder"},
    {2, EndpointRole::ServerListener, true, false, Rearm::Listen, true, true, true, nullptr,
     "LocalPort2", "8080", nullptr, "TCP/IP Server", "server"},
    {3, EndpointRole::DataHostForwarder, false, true, Rearm::Connect, false, false, false, nullptr,
     "RemotePort3", "80", "RemoteHost3", "data host forwarder", "data_host"},
}};

// The order in which the supervision tick re-arms and repaints: the
// "TCP/IP Server" shows its state in the bottom row, after the other three.
inline constexpr std::array<int, EndpointCount> TickOrder {0, 1, 3, 2};

// The endpoint of `role`.
[[nodiscard]] constexpr int endpointOf(EndpointRole role)
{
    for (const EndpointRow &row : EndpointRows) {
        if (row.role == role)
            return row.index;
    }
    return -1;
}

// The endpoint of `index`; false when there is none.
[[nodiscard]] constexpr bool isEndpoint(int index)
{
    return index >= 0 && index < EndpointCount;
}

// The name of endpoint `index` in the log, as the window names its group.
[[nodiscard]] constexpr const char *endpointName(int index)
{
    return isEndpoint(index) ? EndpointRows[std::size_t(index)].name : "no endpoint";
}

[[nodiscard]] constexpr bool isListener(int endpoint)
{
    return EndpointRows[std::size_t(endpoint)].listens;
}

// The forwarders' buttons Command3(0..3): which endpoint each one serves,
// and whether it connects (else it closes).
struct ForwarderButton {
    int endpoint;
    bool connects;
};
inline constexpr std::array<ForwarderButton, 4> Command3Map {{
    {1, true}, {1, false}, {3, false}, {3, true},
}};

namespace route_detail {
// The gateway feeds everyone; the others answer the gateway; every socket
// feeds the serial port; the device answers all but the data host.
inline constexpr int FromGateway[] = {1, 2, 3, SerialNode};
inline constexpr int BackToGateway[] = {0, SerialNode};
inline constexpr int FromSerial[] = {0, 1, 2};
} // namespace route_detail

// Destinations of `node`'s chunks, in the order they are served.
[[nodiscard]] constexpr std::span<const int> routeFrom(int node)
{
    if (EndpointRows[0].index == node)
        return route_detail::FromGateway;
    if (node == SerialNode)
        return route_detail::FromSerial;
    return route_detail::BackToGateway;
}

// True when `source`'s chunks go to `destination`.
[[nodiscard]] constexpr bool routes(int source, int destination)
{
    for (int to : routeFrom(source)) {
        if (to == destination)
            return true;
    }
    return false;
}
