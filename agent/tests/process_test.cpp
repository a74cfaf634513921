// Runs the built agent and the crash helper as real processes: exit codes,
// standard output and the log file beside the executable.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace vn {
namespace {

namespace fs = std::filesystem;

// A copy of an executable in a folder of its own, started from another folder,
// so that agent.log must land beside the executable and not in the working one.
class Installed {
 public:
  explicit Installed(const char* built_exe) {
    bin_ = dir_.path() / "bin";
    work_ = dir_.path() / "work";
    fs::create_directories(bin_);
    fs::create_directories(work_);
    exe_ = bin_ / fs::path(built_exe).filename();
    fs::copy_file(built_exe, exe_);
  }

  test::ProcessResult run(const std::vector<std::string>& args) const {
    return test::run_process(exe_.string(), args, work_.string());
  }
  std::string log() const { return test::read_text_file(bin_ / "agent.log"); }
  bool log_in_working_dir() const { return fs::exists(work_ / "agent.log"); }
  const fs::path& exe() const { return exe_; }

 private:
  test::TempDir dir_;
  fs::path bin_, work_, exe_;
};

bool has_line(const std::string& log, const std::string& level, const std::string& message) {
  const std::regex line("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[" + level + "\\] \\[\\d+\\] " +
                            std::regex_replace(message, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + "$",
                        std::regex::multiline);
  return std::regex_search(log, line);
}

TEST(AgentProcess, HelpPrintsTheUsageTextAndExitsZero) {
  const Installed agent(VN_AGENT_EXE);
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"--width", "1280", "-h"}}) {
    const auto result = agent.run(args);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exit_code, 0) << ::testing::PrintToString(args);
    EXPECT_EQ(result.std_out, usage_text()) << ::testing::PrintToString(args);
  }
}

TEST(AgentProcess, StandaloneStartLogsBesideTheExecutableAndExitsZero) {
  const Installed agent(VN_AGENT_EXE);
  const auto result = agent.run({});
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exit_code, 0);
  const std::string log = agent.log();
  EXPECT_TRUE(has_line(log, "info", "Vantor Agent starting")) << log;
  EXPECT_TRUE(has_line(log, "info", "Config: 1920x1080 @60 fps, 30000 kbps, codec=h264")) << log;
  EXPECT_TRUE(has_line(log, "info", "Firewall rules requested: TCP 48001 UDP 48000-48003")) << log;
  EXPECT_NE(log.find("Detected CPU: "), std::string::npos) << log;
  EXPECT_FALSE(agent.log_in_working_dir());
  // The console shows the same lines.
  EXPECT_NE(result.std_out.find("Vantor Agent starting"), std::string::npos);
}

TEST(AgentProcess, ConfigurationLineAndPorts) {
  const Installed agent(VN_AGENT_EXE);
  const auto result =
      agent.run({"--bitrate", "5000000", "--width", "1280", "--height", "720", "--fps", "30", "--codec", "hevc",
                 "--port", "48011", "--unknown-option"});
  EXPECT_EQ(result.exit_code, 0);
  const std::string log = agent.log();
  EXPECT_TRUE(has_line(log, "info", "Config: 1280x720 @30 fps, 5000 kbps, codec=hevc")) << log;
  EXPECT_TRUE(has_line(log, "info", "Firewall rules requested: TCP 48011 UDP 48010-48013")) << log;
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
    const Installed agent(VN_AGENT_EXE);
    const auto result = agent.run(c.args);
    EXPECT_EQ(result.exit_code, 1) << ::testing::PrintToString(c.args);
    const std::string log = agent.log();
    EXPECT_TRUE(has_line(log, "critical", std::string("Fatal crash: unhandled std::exception: ") + c.text)) << log;
    EXPECT_EQ(log.find("Vantor Agent starting"), std::string::npos) << log;
  }
}

#ifndef _WIN32
TEST(CrashProcess, FatalSignalsAreLoggedAfterTheDesktopIsRestored) {
  struct Case {
    const char* mode;
    int signal;
    std::string detail;  // must follow "(<SIGNAL> ip=0x... module=..."
  };
  const Case cases[] = {
      {"read", SIGSEGV, " access=read addr=0x10)"},
      {"write", SIGSEGV, " access=write addr=0x10)"},
      {"execute", SIGSEGV, " access=execute addr=0x"},
      {"abort", SIGABRT, ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const Installed child(VN_CRASH_CHILD_EXE);
    const auto result = child.run({c.mode});
    EXPECT_EQ(result.term_signal, c.signal);
    const std::string log = child.log();
    const std::string fatal = "Fatal crash: Unhandled OS exception 0x" +
                              (c.signal == SIGSEGV ? std::string("B (SIGSEGV") : std::string("6 (SIGABRT")) + " ip=0x";
    const size_t fatal_at = log.find(fatal);
    ASSERT_NE(fatal_at, std::string::npos) << log;
    const size_t line_start = log.rfind('\n', fatal_at) + 1;  // npos + 1 == 0 on the first line
    const std::string fatal_line = log.substr(line_start, log.find('\n', fatal_at) - line_start);
    EXPECT_NE(fatal_line.find("] [critical] ["), std::string::npos) << fatal_line;
    EXPECT_NE(fatal_line.find(c.detail), std::string::npos) << fatal_line;
    if (std::string(c.mode) == "read" || std::string(c.mode) == "write") {
      EXPECT_NE(fatal_line.find(" module=" + child.exe().string() + " "), std::string::npos) << fatal_line;
    }
    const size_t restored_at = log.find("CrashChild: desktop restored (crashed=true)");
    ASSERT_NE(restored_at, std::string::npos) << log;
    EXPECT_LT(restored_at, fatal_at);
  }
}
#endif

}  // namespace
}  // namespace vn
