#pragma once

#include <array>
#include <span>

// The four socket endpoints and the serial port as nodes of the relay, and
// where each node's chunks go. Routing, serial receive and flow control all
// read this one table.
enum class EndpointRole {
    GatewayListener,   // 0: a field gateway connects here
    SoftwareForwarder, // 1: client to the host software
    ServerListener,    // 2: the "TCP/IP Server", one further peer
    DataHostForwarder, // 3: client to the remote data host
};

inline constexpr int EndpointCount = 4;
inline constexpr int SerialNode = 4; // the serial port, as a route node
inline constexpr int NodeCount = 5;

inline constexpr std::array<EndpointRole, EndpointCount> EndpointRoles {
    EndpointRole::GatewayListener, EndpointRole::SoftwareForwarder,
    EndpointRole::ServerListener, EndpointRole::DataHostForwarder};

[[nodiscard]] constexpr bool isListener(int endpoint)
{
    return EndpointRoles[std::size_t(endpoint)] == EndpointRole::GatewayListener
        || EndpointRoles[std::size_t(endpoint)] == EndpointRole::ServerListener;
}

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
    if (node == 0)
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
