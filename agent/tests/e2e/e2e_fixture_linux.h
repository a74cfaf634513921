#pragma once

// The agent, the reference launcher and the screen painter as real processes
// on a private Xvfb display; the base of the end-to-end tests.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/installed_exe.h"
#include "support/tcp_test_client.h"
#include "support/temp_dir.h"
#include "support/xvfb_linux.h"

namespace vn {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline constexpr uint32_t kWidth = 320;
inline constexpr uint32_t kHeight = 240;
inline const std::string kToken = "e2e-token";

class SessionEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    test::XvfbOptions options;
    options.width = kWidth;
    options.height = kHeight;
    if (!xvfb_.start(options)) GTEST_SKIP() << "Xvfb is not available";
    display_env_ = "DISPLAY=" + xvfb_.display_name();
    port_base_ = static_cast<uint16_t>(test::free_tcp_port() - 3);
  }

  void TearDown() override {
    painter_.reset();
    xvfb_.stop();
  }

  // Paints the display: a flat colour ("RRGGBB") or, when empty, moving bars.
  void paint(const std::string& fill) {
    std::vector<std::string> args{"--fps", "30"};
    if (!fill.empty()) args = {"--fill", fill, "--fps", "10"};
    painter_ = std::make_unique<test::ChildProcess>(VN_PAINTER_EXE, args, work_.path().string(),
                                                    std::vector<std::string>{display_env_});
    ASSERT_TRUE(painter_->started());
    std::this_thread::sleep_for(200ms);  // the first picture is on the screen
  }

  std::unique_ptr<test::ChildProcess> start_agent(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--width",     std::to_string(kWidth), "--height",       std::to_string(kHeight),
                                  "--fps",       "30",                   "--bitrate",      "1500000",
                                  "--port-base", std::to_string(port_base_), "--session-token", kToken};
    args.insert(args.end(), extra.begin(), extra.end());
    return agent_.start(args, {display_env_});
  }

  struct LauncherRun {
    test::ProcessResult process;
    nlohmann::json summary;
  };

  std::vector<std::string> launcher_args(const std::vector<std::string>& extra) const {
    std::vector<std::string> args{"--host", "127.0.0.1", "--port-base", std::to_string(port_base_),
                                  "--connect-timeout", "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // A launcher left running, e.g. to be killed.
  std::unique_ptr<test::ChildProcess> start_launcher(const std::vector<std::string>& extra) {
    return std::make_unique<test::ChildProcess>(VN_LAUNCHER_EXE, launcher_args(extra), work_.path().string());
  }

  LauncherRun run_launcher(const std::vector<std::string>& extra) {
    const fs::path summary = work_.path() / "summary.json";
    fs::remove(summary);
    std::vector<std::string> args = launcher_args({"--summary-json", summary.string()});
    args.insert(args.end(), extra.begin(), extra.end());
    LauncherRun run;
    run.process = test::run_process(VN_LAUNCHER_EXE, args, work_.path().string());
    std::ifstream in(summary);
    if (in) run.summary = nlohmann::json::parse(in, nullptr, false);
    return run;
  }

  // The agent's exit, within a guard that only catches hangs.
  static std::optional<test::ProcessResult> agent_exit(test::ChildProcess& agent) { return agent.wait_for(30s); }

  bool agent_logged(const std::string& level, const std::string& message) const {
    return test::has_log_line(agent_.log(), level, message);
  }

  test::XvfbServer xvfb_;
  std::string display_env_;
  uint16_t port_base_ = 0;
  test::TempDir work_;
  test::InstalledExe agent_{VN_AGENT_EXE};
  std::unique_ptr<test::ChildProcess> painter_;
};

}  // namespace vn
