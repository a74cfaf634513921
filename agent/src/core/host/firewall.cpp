#include "core/host/firewall.h"

#include <spdlog/spdlog.h>

#include "core/base/media_ports.h"

namespace vn {

FirewallPorts firewall_ports(uint16_t port_base) {
  FirewallPorts ports;
  ports.tcp = static_cast<uint16_t>(port_base + 3);
  ports.udp_first = static_cast<uint16_t>(port_base + 2);
  ports.udp_last = static_cast<uint16_t>(port_base + 5);
  for (const uint16_t probe_port : {kVideoLocalPort, kAudioLocalPort}) {
    if (probe_port < ports.udp_first || probe_port > ports.udp_last) ports.udp_extra.push_back(probe_port);
  }
  return ports;
}

std::string FirewallPorts::udp_extra_list() const {
  std::string list;
  for (const uint16_t port : udp_extra) list += (list.empty() ? "" : ",") + std::to_string(port);
  return list;
}

std::vector<std::string> firewall_rule_commands(uint16_t port_base) {
  const FirewallPorts ports = firewall_ports(port_base);
  std::string udp = std::to_string(ports.udp_first) + "-" + std::to_string(ports.udp_last);
  if (!ports.udp_extra.empty()) udp += "," + ports.udp_extra_list();
  return {
      "netsh advfirewall firewall delete rule name=\"Vantor Agent TCP\" >nul 2>&1",
      "netsh advfirewall firewall delete rule name=\"Vantor Agent UDP\" >nul 2>&1",
      "netsh advfirewall firewall add rule name=\"Vantor Agent TCP\" protocol=TCP dir=in localport=" +
          std::to_string(ports.tcp) + " action=allow >nul 2>&1",
      "netsh advfirewall firewall add rule name=\"Vantor Agent UDP\" protocol=UDP dir=in localport=" + udp +
          " action=allow >nul 2>&1",
  };
}

void install_firewall_rules(uint16_t port_base, const CommandRunner& run) {
  for (const std::string& command : firewall_rule_commands(port_base)) run(command);
  const FirewallPorts ports = firewall_ports(port_base);
  spdlog::info("Firewall rules requested: TCP {} UDP {}-{}", ports.tcp, ports.udp_first, ports.udp_last);
  if (!ports.udp_extra.empty()) {
    spdlog::info("Firewall: the UDP rule also opens {} for the launcher's hole-punch probes", ports.udp_extra_list());
  }
}

}  // namespace vn
