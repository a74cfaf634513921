#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vn {

// Runs one command line; its result is not looked at.
using CommandRunner = std::function<void(const std::string& command)>;

// The Windows Firewall commands for the agent's inbound ports, in the order
// they run: delete both rules, then allow TCP port_base+3 and UDP
// port_base+2..port_base+5 (16-bit port arithmetic).
std::vector<std::string> firewall_rule_commands(uint16_t port_base);

// Runs firewall_rule_commands through `run` and logs
// "Firewall rules requested: TCP {} UDP {}-{}". Never fails.
void install_firewall_rules(uint16_t port_base, const CommandRunner& run);

// The platform's way: on Windows the commands run hidden through cmd.exe; on
// Linux the system's firewall is not touched and the log says which ports an
// operator has to open.
void install_firewall_rules(uint16_t port_base);

}  // namespace vn
