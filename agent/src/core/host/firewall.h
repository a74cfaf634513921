#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vn {

// Runs one command line; its result is not looked at.
using CommandRunner = std::function<void(const std::string& command)>;

// The agent's inbound ports for a port base (16-bit port arithmetic): TCP
// port_base+3, UDP port_base+2..port_base+5, and the fixed probe ports
// (kVideoLocalPort, kAudioLocalPort) that fall outside that range.
struct FirewallPorts {
  uint16_t tcp = 0;
  uint16_t udp_first = 0;
  uint16_t udp_last = 0;
  std::vector<uint16_t> udp_extra;

  // udp_extra as "48002,48003"; empty when there are none.
  std::string udp_extra_list() const;
};
FirewallPorts firewall_ports(uint16_t port_base);

// The Windows Firewall commands for the agent's inbound ports, in the order
// they run: delete both rules, then allow the TCP port and the UDP range (with
// the probe ports outside it, comma-separated).
std::vector<std::string> firewall_rule_commands(uint16_t port_base);

// Runs firewall_rule_commands through `run` and logs
// "Firewall rules requested: TCP {} UDP {}-{}" (and the probe ports added, if
// any). Never fails.
void install_firewall_rules(uint16_t port_base, const CommandRunner& run);

// The platform's way: on Windows the commands run hidden through cmd.exe; on
// Linux the system's firewall is not touched and the log says which ports an
// operator has to open.
void install_firewall_rules(uint16_t port_base);

}  // namespace vn
