#pragma once

#include <string>

namespace vn::test {

// The info line the agent logs about the firewall on this platform, for the
// TCP port, the UDP range ("48000-48003") and the probe ports outside it
// ("48002,48003", or empty).
std::string expected_firewall_line(const std::string& tcp, const std::string& udp_range,
                                   const std::string& udp_extra);

}  // namespace vn::test
