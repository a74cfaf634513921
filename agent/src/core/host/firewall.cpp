#include "core/host/firewall.h"

#include <spdlog/spdlog.h>

namespace vn {
namespace {

struct FirewallPorts {
  uint16_t tcp;
  uint16_t udp_first;
  uint16_t udp_last;
};

FirewallPorts firewall_ports(uint16_t port_base) {
  return {static_cast<uint16_t>(port_base + 3), static_cast<uint16_t>(port_base + 2),
          static_cast<uint16_t>(port_base + 5)};
}

}  // namespace

std::vector<std::string> firewall_rule_commands(uint16_t port_base) {
  const FirewallPorts ports = firewall_ports(port_base);
  return {
      "netsh advfirewall firewall delete rule name=\"Vantor Agent TCP\" >nul 2>&1",
      "netsh advfirewall firewall delete rule name=\"Vantor Agent UDP\" >nul 2>&1",
      "netsh advfirewall firewall add rule name=\"Vantor Agent TCP\" protocol=TCP dir=in localport=" +
          std::to_string(ports.tcp) + " action=allow >nul 2>&1",
      "netsh advfirewall firewall add rule name=\"Vantor Agent UDP\" protocol=UDP dir=in localport=" +
          std::to_string(ports.udp_first) + "-" + std::to_string(ports.udp_last) + " action=allow >nul 2>&1",
  };
}

void install_firewall_rules(uint16_t port_base, const CommandRunner& run) {
  for (const std::string& command : firewall_rule_commands(port_base)) run(command);
  const FirewallPorts ports = firewall_ports(port_base);
  spdlog::info("Firewall rules requested: TCP {} UDP {}-{}", ports.tcp, ports.udp_first, ports.udp_last);
}

}  // namespace vn
