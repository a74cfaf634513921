#include <spdlog/spdlog.h>

#include "core/host/firewall.h"

namespace vn {

// A Linux host's firewall belongs to its operator (ufw, firewalld, nftables
// rules of their own): the agent changes nothing and names the ports instead.
void install_firewall_rules(uint16_t port_base) {
  const FirewallPorts ports = firewall_ports(port_base);
  const std::string extra = ports.udp_extra_list();
  spdlog::info(
      "Firewall: rules are not changed on Linux; if a firewall is active allow inbound TCP {} and UDP "
      "{}-{}{} (for example: ufw allow {}/tcp && ufw allow {}:{}/udp{})",
      ports.tcp, ports.udp_first, ports.udp_last, extra.empty() ? "" : " and " + extra, ports.tcp, ports.udp_first,
      ports.udp_last, extra.empty() ? "" : " && ufw allow " + extra + "/udp");
}

}  // namespace vn
