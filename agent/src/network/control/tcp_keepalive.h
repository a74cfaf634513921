#pragma once

#include <asio/ip/tcp.hpp>

namespace vn::network {

// TCP keep-alive on the launcher's control connection, so that a launcher
// that lost power or its NAT mapping (no FIN, no RST) is noticed: after
// kKeepAliveIdleS seconds of silence the system probes every
// kKeepAliveIntervalS seconds and fails the connection after kKeepAliveProbes
// unanswered probes, about 15 s in all. A pending read then ends with an
// error ("timed out").
inline constexpr int kKeepAliveIdleS = 5;
inline constexpr int kKeepAliveIntervalS = 1;
inline constexpr int kKeepAliveProbes = 10;  // Windows always sends 10

// Turns it on for `socket` (connected); false (nothing logged) when the
// system refused an option.
bool enable_keepalive(asio::ip::tcp::socket& socket);

}  // namespace vn::network
