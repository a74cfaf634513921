#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/host/firewall.h"
#include "core/host/host_load.h"

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
  EXPECT_NE(commands[3].find("localport=0-3 "), std::string::npos) << commands[3];
}

TEST(Firewall, InstallRunsEveryCommandInOrder) {
  std::vector<std::string> ran;
  install_firewall_rules(47998, [&](const std::string& command) { ran.push_back(command); });
  EXPECT_EQ(ran, firewall_rule_commands(47998));
}

}  // namespace
}  // namespace vn
