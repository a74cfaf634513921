#include "process/firewall_line.h"

namespace vn::test {

// Windows asks the firewall for the rules; the probe ports get a line of their own.
std::string expected_firewall_line(const std::string& tcp, const std::string& udp_range, const std::string&) {
  return "Firewall rules requested: TCP " + tcp + " UDP " + udp_range;
}

}  // namespace vn::test
