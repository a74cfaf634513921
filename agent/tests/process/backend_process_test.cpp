// The built agent with a backend: it registers with the host's facts, sends
// heartbeats, and stops cleanly while connected.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/installed_exe.h"
#include "test_backend.h"

namespace vn {
namespace {

using namespace std::chrono_literals;

TEST(AgentProcess, RegistersWithTheBackendAndSendsHeartbeats) {
  tools::TestBackend backend(tools::TestBackendOptions{.agent_token = "srv-p.sig"});
  ASSERT_TRUE(backend.start());
  const test::InstalledExe agent(VN_AGENT_EXE);
  auto process = agent.start({"--saas-host", "127.0.0.1", "--saas-port", std::to_string(backend.port()),
                              "--agent-token", "srv-p.sig", "--port-base", "48020", "--width", "1280", "--height",
                              "720", "--fps", "30"});
  ASSERT_TRUE(process->started());

  const auto registered = backend.wait_type("register", 60s);
  ASSERT_TRUE(registered) << agent.log();
  const auto& message = registered->json;
  EXPECT_EQ(message.value("agent_version", ""), "1.0.0");
  EXPECT_EQ(message.value("port_base", 0), 48020);
  EXPECT_EQ(message.value("max_resolution", ""), "1280x720");
  EXPECT_EQ(message.value("max_fps", 0), 30);
  EXPECT_EQ(message["supported_codecs"], (nlohmann::json{"h264", "hevc"}));
  EXPECT_FALSE(message.value("os_version", "").empty()) << registered->text;
  EXPECT_GT(message.value("ram_mb", 0), 0) << registered->text;

  const auto heartbeat = backend.wait_type("heartbeat", 60s);
  ASSERT_TRUE(heartbeat) << agent.log();
  EXPECT_EQ(heartbeat->json.value("status", ""), "online");
  EXPECT_LE(heartbeat->json.value("cpu_pct", 101), 100);
  EXPECT_GT(heartbeat->json.value("ram_mb_free", 0), 0) << heartbeat->text;

  const std::string log = agent.log();
  EXPECT_TRUE(test::has_log_line(log, "info", "SaaS connector started - waiting for prepare_session...")) << log;
  EXPECT_TRUE(test::has_log_line(log, "info", "SaasConnector: WebSocket connected")) << log;
  EXPECT_EQ(log.find("asks for TLS"), std::string::npos) << "only port 443 asks for TLS";

  // Ctrl+C while connected and idle: the connector stops, the agent exits 0.
  if (!test::interrupt_is_graceful()) return;
  process->interrupt();
  const auto exit = process->wait_for(30s);
  ASSERT_TRUE(exit.has_value()) << agent.log();
  EXPECT_EQ(exit->exit_code, 0);
  EXPECT_TRUE(test::has_log_line(agent.log(), "info", "SaasConnector: stopped")) << agent.log();
  EXPECT_TRUE(test::has_log_line(agent.log(), "info", "Agent stopped cleanly")) << agent.log();
  EXPECT_TRUE(backend.wait_disconnected(10s));
}

}  // namespace
}  // namespace vn
