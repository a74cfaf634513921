#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/host/firewall.h"
#include "core/host/host_load.h"
#include "support/log_capture.h"

namespace vn {
namespace {

TEST(HostLoadSampler, SamplesThisHostsFigures) {
  const auto sampler = HostLoadSampler::Create();
  ASSERT_NE(sampler, nullptr);
  for (int i = 0; i < 2; ++i) {
    const HostLoad load = sampler->sample();
    EXPECT_GT(load.ram_mb_free, 0u);
    EXPECT_LE(load.cpu_pct, 100u);
    EXPECT_LE(load.gpu_pct, 100u);
  }
}

TEST(Firewall, CommandsForDefaultPortBase) {
  const std::vector<std::string> expected = {
      "netsh advfirewall firewall delete rule name=\"Vantor Agent TCP\" >nul 2>&1",
      "netsh advfirewall firewall delete rule name=\"Vantor Agent UDP\" >nul 2>&1",
      "netsh advfirewall firewall add rule name=\"Vantor Agent TCP\" protocol=TCP dir=in localport=48001 "
      "action=allow >nul 2>&1",
      "netsh advfirewall firewall add rule name=\"Vantor Agent UDP\" protocol=UDP dir=in localport=48000-48003 "
      "action=allow >nul 2>&1",
  };
  EXPECT_EQ(firewall_rule_commands(47998), expected);
}

TEST(Firewall, PortsWrapAt16Bits) {
  const auto commands = firewall_rule_commands(65534);
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_NE(commands[2].find("localport=1 "), std::string::npos) << commands[2];
  EXPECT_NE(commands[3].find("localport=0-3,48002,48003 "), std::string::npos) << commands[3];
}

// The launcher's probes arrive on the fixed ports 48002/48003 whatever the
// base, so the UDP rule opens them too when the range leaves them out.
TEST(Firewall, TheUdpRuleAlwaysOpensTheProbePorts) {
  const struct {
    uint16_t port_base;
    const char* udp_ports;  // the UDP rule's localport
  } cases[] = {
      {47998, "48000-48003"},              // the default base covers both
      {47997, "47999-48002,48003"},        // one inside, one outside
      {48002, "48004-48007,48002,48003"},  // the usage text's second PC
      {48010, "48012-48015,48002,48003"},
  };
  for (const auto& c : cases) {
    const std::string rule = firewall_rule_commands(c.port_base)[3];
    EXPECT_NE(rule.find(std::string("localport=") + c.udp_ports + " action=allow"), std::string::npos)
        << c.port_base << ": " << rule;
  }
}

TEST(Firewall, LogsTheProbePortsItAdds) {
  test::LogCapture log;
  install_firewall_rules(48002, [](const std::string&) {});
  EXPECT_TRUE(log.contains("info: Firewall rules requested: TCP 48005 UDP 48004-48007")) << log.dump();
  EXPECT_TRUE(log.contains("info: Firewall: the UDP rule also opens 48002,48003 for the launcher's hole-punch probes"))
      << log.dump();
}

TEST(Firewall, InstallRunsEveryCommandInOrder) {
  std::vector<std::string> ran;
  install_firewall_rules(47998, [&](const std::string& command) { ran.push_back(command); });
  EXPECT_EQ(ran, firewall_rule_commands(47998));
}

}  // namespace
}  // namespace vn
