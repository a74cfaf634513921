#pragma once

// The agent run by a backend: the test backend in the test process, the
// agent, the reference launcher and the screen painter as real processes.
#include <sodium.h>

#include <future>

#include "core/base/agent_config.h"
#include "e2e/e2e_fixture_linux.h"
#include "test_backend.h"

namespace vn {

inline const std::string kAgentToken = "srv-e2e.signature";

class BackendEndToEnd : public SessionEndToEnd {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    SessionEndToEnd::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(backend_.start());
    paint("");
    agent_process_ = start_agent({"--saas-host", "127.0.0.1", "--saas-port", std::to_string(backend_.port()),
                                  "--agent-token", kAgentToken, "--public-ip", "203.0.113.9"});
    ASSERT_TRUE(backend_.wait_type("register", 30s)) << agent_.log();
  }

  void TearDown() override {
    if (agent_process_) {
      agent_process_->interrupt();
      const auto exit = agent_process_->wait_for(30s);
      EXPECT_TRUE(exit.has_value()) << agent_.log();
      if (exit) {
        EXPECT_EQ(exit->exit_code, 0);
      }
      EXPECT_TRUE(agent_logged("info", "Agent stopped cleanly")) << agent_.log();
      EXPECT_TRUE(agent_logged("info", "SaasConnector: stopped")) << agent_.log();
    }
    backend_.stop();
    SessionEndToEnd::TearDown();
  }

  void prepare(const std::string& session_id, nlohmann::json extra = nlohmann::json::object()) {
    nlohmann::json message = {{"type", "prepare_session"},
                              {"session_id", session_id},
                              {"session_token_sha256", token_sha256_hex(kToken)},
                              {"constraints", {{"resolution", "320x240"}, {"max_fps", 30}, {"bitrate_kbps", 1500}}}};
    message.update(extra);
    ASSERT_TRUE(backend_.send_json(message));
  }

  std::optional<tools::ReceivedMessage> wait_for(const std::string& type, const std::string& session_id,
                                                 std::chrono::milliseconds timeout = 60s) {
    return backend_.wait_message(
        [&](const tools::ReceivedMessage& m) { return m.type == type && m.json.value("session_id", "") == session_id; },
        timeout);
  }

  std::future<LauncherRun> launch(const std::vector<std::string>& args) {
    return std::async(std::launch::async, [this, args] { return run_launcher(args); });
  }

  tools::TestBackend backend_{tools::TestBackendOptions{.agent_token = kAgentToken}};
  std::unique_ptr<test::ChildProcess> agent_process_;
};

}  // namespace vn
