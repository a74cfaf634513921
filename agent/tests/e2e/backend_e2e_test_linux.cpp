// The agent run by a backend: the test backend in this process, the agent,
// the reference launcher and the screen painter as real processes. Sessions
// come one after another as the backend asks, and the agent reports each.
#include "e2e/backend_e2e_fixture_linux.h"

namespace vn {
namespace {

using nlohmann::json;
using tools::ReceivedMessage;

TEST_F(BackendEndToEnd, SessionsComeAndGoAsTheBackendAsks) {
  // First session: ready with the ports, media, ended by the backend.
  prepare("s1");
  auto first = launch({"--token", kToken, "--duration", "20", "--no-end-session"});
  const auto ready = wait_for("session_ready", "s1");
  ASSERT_TRUE(ready) << agent_.log();
  EXPECT_EQ(ready->json["public_ip"], "203.0.113.9");
  EXPECT_EQ(ready->json["ports"], (json{{"video", port_base_}, {"audio", port_base_ + 1}, {"input", port_base_ + 2}}));
  ASSERT_TRUE(test::wait_until([&] { return agent_logged("info", "Video NAT traversal complete"); }, 30s))
      << agent_.log();
  std::this_thread::sleep_for(1500ms);  // some media
  ASSERT_TRUE(backend_.send_json({{"type", "terminate_session"}, {"session_id", "s1"}}));
  const auto ended = wait_for("session_ended", "s1");
  ASSERT_TRUE(ended) << agent_.log();
  EXPECT_EQ(ended->json["reason"], "pipeline_ended");
  EXPECT_GE(ended->json["duration_sec"].get<int>(), 1);
  const LauncherRun launcher = first.get();
  ASSERT_TRUE(launcher.summary.is_object()) << launcher.process.std_out;
  EXPECT_GT(launcher.summary.value("frames_decoded", 0), 5) << launcher.process.std_out;
  EXPECT_TRUE(agent_logged("info", "SaaS terminated session s1 (saas_terminated)")) << agent_.log();
  EXPECT_TRUE(agent_logged("info", "Session s1 ended cleanly")) << agent_.log();

  // The backend goes away and comes back: the agent registers again and
  // re-sends how the last session ended.
  ASSERT_TRUE(backend_.drop());
  ASSERT_TRUE(backend_.wait_type("register", 30s, 2)) << agent_.log();
  ASSERT_TRUE(backend_.wait_message(
      [](const ReceivedMessage& m) { return m.connection == 2 && m.type == "session_ended"; }, 30s));

  // Second session, limited by max_duration_sec.
  prepare("s2", {{"max_duration_sec", 2}});
  auto second = launch({"--token", kToken, "--duration", "20", "--no-end-session"});
  ASSERT_TRUE(wait_for("session_ready", "s2")) << agent_.log();
  const auto limited = wait_for("session_ended", "s2");
  ASSERT_TRUE(limited) << agent_.log();
  EXPECT_GE(limited->json["duration_sec"].get<int>(), 2);
  EXPECT_LT(limited->json["duration_sec"].get<int>(), 20);
  EXPECT_EQ(second.get().process.exit_code, 0);
}

// A launcher with a wrong token is turned away without ending the session's
// wait: the right launcher that follows is served, and the backend hears only
// of the session that ran.
TEST_F(BackendEndToEnd, AWrongTokenDoesNotEndTheWaitForTheLauncher) {
  prepare("s3");
  const LauncherRun stray = run_launcher({"--token", "not-the-token", "--duration", "1"});
  EXPECT_NE(stray.process.exit_code, 0);
  EXPECT_TRUE(test::wait_until(
      [&] { return agent_logged("error", "TcpControlServer: session token verification FAILED — rejecting client"); },
      10s))
      << agent_.log();

  auto launcher = launch({"--token", kToken, "--duration", "1"});
  ASSERT_TRUE(wait_for("session_ready", "s3")) << agent_.log();
  ASSERT_TRUE(wait_for("session_ended", "s3")) << agent_.log();
  EXPECT_EQ(launcher.get().process.exit_code, 0);
  EXPECT_TRUE(backend_.messages_of("error").empty());
}

}  // namespace
}  // namespace vn
