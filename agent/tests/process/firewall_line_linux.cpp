#include "process/firewall_line.h"

namespace vn::test {

// Linux changes nothing and names the ports an operator has to open.
std::string expected_firewall_line(const std::string& tcp, const std::string& udp_range,
                                   const std::string& udp_extra) {
  std::string ufw_range = udp_range;
  ufw_range[ufw_range.find('-')] = ':';
  std::string line = "Firewall: rules are not changed on Linux; if a firewall is active allow inbound TCP " + tcp +
                     " and UDP " + udp_range;
  if (!udp_extra.empty()) line += " and " + udp_extra;
  line += " (for example: ufw allow " + tcp + "/tcp && ufw allow " + ufw_range + "/udp";
  if (!udp_extra.empty()) line += " && ufw allow " + udp_extra + "/udp";
  return line + ")";
}

}  // namespace vn::test
