// Runs the built agent and the crash helper as real processes: exit codes,
// standard output and the log file beside the executable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/base/agent_config.h"
#include "process/firewall_line.h"
#include "support/installed_exe.h"

namespace vn {
namespace {

TEST(AgentProcess, HelpPrintsTheUsageTextAndExitsZero) {
  const test::InstalledExe agent(VN_AGENT_EXE);
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"--width", "1280", "-h"}}) {
    const auto result = agent.run(args);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exit_code, 0) << ::testing::PrintToString(args);
    EXPECT_EQ(test::without_carriage_returns(result.std_out), usage_text()) << ::testing::PrintToString(args);
  }
}

// A picture size no encoder takes refuses the one session at once: the agent
// has logged its start-up lines, says the session never streamed and exits 1.
TEST(AgentProcess, StandaloneStartLogsBesideTheExecutableAndASessionThatNeverStreamedExitsOne) {
  const test::InstalledExe agent(VN_AGENT_EXE);
  const auto result = agent.run({"--height", "3"});
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exit_code, 1);
  const std::string log = agent.log();
  EXPECT_TRUE(test::has_log_line(
      log, "critical", "Unsupported resolution 1920x3 for h264: width and height must be even, 64 to 4096"))
      << log;
  EXPECT_TRUE(test::has_log_line(log, "error", "The session never streamed - exiting with status 1")) << log;
  EXPECT_TRUE(test::has_log_line(log, "info", "Agent stopped cleanly")) << log;
  EXPECT_TRUE(test::has_log_line(log, "info", "Vantor Agent starting")) << log;
  EXPECT_TRUE(test::has_log_line(log, "info", "Config: 1920x3 @60 fps, 30000 kbps, codec=h264")) << log;
  EXPECT_TRUE(test::has_log_line(log, "info", test::expected_firewall_line("48001", "48000-48003", ""))) << log;
  EXPECT_NE(log.find("Detected CPU: "), std::string::npos) << log;
  EXPECT_FALSE(agent.log_in_working_dir());
  // The console shows the same lines.
  EXPECT_NE(result.std_out.find("Vantor Agent starting"), std::string::npos);
}

TEST(AgentProcess, ConfigurationLineAndPorts) {
  const test::InstalledExe agent(VN_AGENT_EXE);
  // 9000 lines are more than even hevc takes: the session ends at once.
  const auto result = agent.run({"--bitrate", "5000000", "--width", "1280", "--height", "9000", "--fps", "30",
                                 "--codec", "hevc", "--port", "48011", "--unknown-option"});
  EXPECT_EQ(result.exit_code, 1);
  const std::string log = agent.log();
  EXPECT_TRUE(test::has_log_line(log, "info", "Config: 1280x9000 @30 fps, 5000 kbps, codec=hevc")) << log;
  EXPECT_TRUE(
      test::has_log_line(log, "info", test::expected_firewall_line("48011", "48010-48013", "48002,48003")))
      << log;
}

TEST(AgentProcess, MalformedNumbersEndWithExitOneAndTheCriticalLine) {
  struct Case {
    std::vector<std::string> args;
    const char* text;
  };
  const Case cases[] = {
      {{"--fps"}, "invalid stoi argument"},
      {{"--width", "wide"}, "invalid stoi argument"},
      {{"--port-base", "99999999999"}, "stoi argument out of range"},
  };
  for (const auto& c : cases) {
    const test::InstalledExe agent(VN_AGENT_EXE);
    const auto result = agent.run(c.args);
    EXPECT_EQ(result.exit_code, 1) << ::testing::PrintToString(c.args);
    const std::string log = agent.log();
    EXPECT_TRUE(test::has_log_line(log, "critical", std::string("Fatal crash: unhandled std::exception: ") + c.text)) << log;
    EXPECT_EQ(log.find("Vantor Agent starting"), std::string::npos) << log;
  }
}


}  // namespace
}  // namespace vn
