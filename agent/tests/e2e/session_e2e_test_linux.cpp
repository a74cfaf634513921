// The agent and the reference launcher as real processes on loopback, with a
// private Xvfb display as the desktop: what the launcher decodes is what is on
// the screen, loss is repaired and raises the FEC level, and every way a
// session ends leaves a cleanly stopped agent.
#include "e2e/e2e_fixture_linux.h"

namespace vn {
namespace {

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

TEST_F(SessionEndToEnd, AWrongTokenIsTurnedAwayAndTheRightLauncherServed) {
  paint("");
  auto agent = start_agent();
  const LauncherRun stray = run_launcher({"--token", "not-the-token", "--duration", "1"});
  EXPECT_NE(stray.process.exit_code, 0) << stray.process.std_out;
  EXPECT_TRUE(agent_logged("error", "TcpControlServer: session token verification FAILED — rejecting client"))
      << agent_.log();
  EXPECT_FALSE(agent_logged("info", "Session established — keys ready")) << agent_.log();

  const LauncherRun launcher = run_launcher({"--token", kToken, "--duration", "1"});
  EXPECT_EQ(launcher.process.exit_code, 0) << launcher.process.std_out;
  const auto exit = agent_exit(*agent);
  ASSERT_TRUE(exit.has_value()) << agent_.log();
  EXPECT_EQ(exit->exit_code, 0);
  EXPECT_TRUE(agent_logged("info", "Session established — keys ready")) << agent_.log();
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
