// The agent and the reference launcher as real processes on loopback, with a
// private Xvfb display as the desktop: what the launcher decodes is what is on
// the screen, loss is repaired and raises the FEC level, and every way a
// session ends leaves a cleanly stopped agent.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "network/tcp_test_client.h"
#include "support/installed_exe.h"
#include "support/temp_dir.h"
#include "support/xvfb_linux.h"

namespace vn {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
const std::string kToken = "e2e-token";

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

  LauncherRun run_launcher(const std::vector<std::string>& extra) {
    const fs::path summary = work_.path() / "summary.json";
    fs::remove(summary);
    std::vector<std::string> args{"--host", "127.0.0.1", "--port-base", std::to_string(port_base_),
                                  "--connect-timeout", "30", "--summary-json", summary.string()};
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

TEST_F(SessionEndToEnd, TheDecodedPictureIsTheScreenAndEndSessionStopsTheAgent) {
  paint("3366CC");
  auto agent = start_agent();
  const fs::path png = work_.path() / "picture.png";
  const LauncherRun launcher = run_launcher({"--token", kToken, "--duration", "2", "--save-png", png.string()});
  EXPECT_EQ(launcher.process.exit_code, 0) << launcher.process.std_out;
  ASSERT_TRUE(launcher.summary.is_object()) << launcher.process.std_out;
  EXPECT_GT(launcher.summary.value("frames_decoded", 0), 10) << launcher.process.std_out;
  EXPECT_EQ(launcher.summary.value("picture_width", 0), static_cast<int>(kWidth));
  EXPECT_EQ(launcher.summary.value("picture_height", 0), static_cast<int>(kHeight));
  const std::vector<double> rgb = launcher.summary.value("last_picture_rgb", std::vector<double>{});
  ASSERT_EQ(rgb.size(), 3u) << launcher.process.std_out;
  // Colour conversion and compression leave a few levels; the cursor a few more.
  EXPECT_NEAR(rgb[0], 0x33, 10);
  EXPECT_NEAR(rgb[1], 0x66, 10);
  EXPECT_NEAR(rgb[2], 0xCC, 10);
  EXPECT_EQ(launcher.summary.value("violations", -1), 0);
  EXPECT_TRUE(fs::exists(png));

  const auto exit = agent_exit(*agent);
  ASSERT_TRUE(exit.has_value()) << agent_.log();
  EXPECT_EQ(exit->exit_code, 0);
  EXPECT_TRUE(agent_logged("info", "Client requested end_session")) << agent_.log();
  EXPECT_TRUE(agent_logged("info", "Video NAT traversal complete")) << agent_.log();
  EXPECT_TRUE(agent_logged("info", "Session  ended cleanly")) << agent_.log();
  EXPECT_TRUE(agent_logged("info", "Agent stopped cleanly")) << agent_.log();
}

TEST_F(SessionEndToEnd, LossIsRepairedAndRaisesTheFecLevel) {
  paint("");
  auto agent = start_agent();
  const LauncherRun launcher = run_launcher({"--token", kToken, "--duration", "6", "--drop-pct", "10", "--seed", "7"});
  EXPECT_EQ(launcher.process.exit_code, 0) << launcher.process.std_out;
  ASSERT_TRUE(launcher.summary.is_object()) << launcher.process.std_out;
  EXPECT_GT(launcher.summary.value("loss_before_fec_pct", 0.0), 5.0) << launcher.process.std_out;
  EXPECT_GT(launcher.summary.value("frames_rebuilt", 0), 0) << launcher.process.std_out;
  ASSERT_TRUE(agent_exit(*agent).has_value());
  const std::string log = agent_.log();
  EXPECT_NE(log.find("Adaptive FEC: 0% -> "), std::string::npos) << log;
}

TEST_F(SessionEndToEnd, ALauncherThatGoesAwayEndsTheSession) {
  paint("");
  auto agent = start_agent();
  const LauncherRun launcher = run_launcher({"--token", kToken, "--duration", "1", "--no-end-session"});
  EXPECT_EQ(launcher.process.exit_code, 0) << launcher.process.std_out;
  const auto exit = agent_exit(*agent);
  ASSERT_TRUE(exit.has_value()) << agent_.log();
  EXPECT_EQ(exit->exit_code, 0);
  EXPECT_TRUE(agent_logged("info", "Launcher disconnected — ending session")) << agent_.log();
  EXPECT_TRUE(agent_logged("info", "Session  ended cleanly")) << agent_.log();
}

TEST_F(SessionEndToEnd, AWrongTokenIsRejected) {
  paint("");
  auto agent = start_agent();
  const LauncherRun launcher = run_launcher({"--token", "not-the-token", "--duration", "1"});
  EXPECT_NE(launcher.process.exit_code, 0) << launcher.process.std_out;
  const auto exit = agent_exit(*agent);
  ASSERT_TRUE(exit.has_value()) << agent_.log();
  EXPECT_TRUE(agent_logged("critical", "TCP handshake failed (AUTH_REJECTED)")) << agent_.log();
  EXPECT_FALSE(agent_logged("info", "Session established — keys ready")) << agent_.log();
}

TEST_F(SessionEndToEnd, InterruptWhileWaitingForTheLauncherStopsTheAgent) {
  paint("");
  auto agent = start_agent();
  ASSERT_TRUE(test::wait_until(
      [&] { return agent_.log().find("Waiting for launcher connection on TCP port") != std::string::npos; }, 30s))
      << agent_.log();
  agent->interrupt();
  // The handshake looks at the stop flag every 50 ms; the guard only catches a hang.
  const auto exit = agent->wait_for(10s);
  ASSERT_TRUE(exit.has_value()) << agent_.log();
  EXPECT_EQ(exit->exit_code, 0);
  EXPECT_TRUE(agent_logged("critical", "TCP handshake failed (SESSION_ABORTED)")) << agent_.log();
  EXPECT_TRUE(agent_logged("info", "Agent stopped cleanly")) << agent_.log();
}

}  // namespace
}  // namespace vn
