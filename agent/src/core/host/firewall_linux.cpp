#include <spdlog/spdlog.h>

#include "core/host/firewall.h"

namespace vn {

// A Linux host's firewall belongs to its operator (ufw, firewalld, nftables
// rules of their own): the agent changes nothing and names the ports instead.
void install_firewall_rules(uint16_t port_base) {
  install_firewall_rules(port_base, [](const std::string&) {});
  const auto tcp = static_cast<uint16_t>(port_base + 3);
  const auto udp_first = static_cast<uint16_t>(port_base + 2);
  const auto udp_last = static_cast<uint16_t>(port_base + 5);
  spdlog::info("Firewall: rules are not changed on Linux; if a firewall is active allow inbound TCP {} and UDP "
               "{}-{} (for example: ufw allow {}/tcp && ufw allow {}:{}/udp)",
               tcp, udp_first, udp_last, tcp, udp_first, udp_last);
}

}  // namespace vn
