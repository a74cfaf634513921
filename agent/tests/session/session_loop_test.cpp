#include "core/session/session_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "core/base/run_flag.h"
#include "support/fake_capturer.h"
#include "support/fake_clock.h"
#include "support/fake_encoder.h"
#include "support/fake_session_backend.h"
#include "support/log_capture.h"
#include "support/tcp_test_client.h"

namespace vn {
namespace {

using namespace std::chrono_literals;

// Session-loop options over fakes: the capture and encoder are scripted, the
// waits short.
struct Fakes {
  bool capture_ok = true;
  bool encoder_ok = true;

  SessionLoopOptions options() const {
    SessionLoopOptions o;
    const bool capture = capture_ok;
    o.make_capturer = [capture] {
      auto fake = std::make_unique<test::FakeCapturer>();
      fake->initialize_ok = capture;
      return fake;
    };
    const bool encoder = encoder_ok;
    o.encoders = {{"FakeEncoder", "", [encoder] {
                     auto fake = std::make_unique<test::FakeEncoder>();
                     fake->initialize_ok = encoder;
                     return fake;
                   }}};
    o.tcp_timeouts = test::guard_timeouts();
    o.tcp_timeouts.accept_timer = 300ms;
    o.tcp_timeouts.accept_wait = 2s;
    o.video_probe_wait_s = 1;
    o.audio_probe_wait_s = 1;
    o.failure_pause_ms = 1;
    return o;
  }
};

AgentConfig config_on_free_port() {
  AgentConfig config;
  config.port_base = static_cast<uint16_t>(test::free_tcp_port() - 3);
  return config;
}

class SessionLoopTest : public testing::Test {
 protected:
  void TearDown() override {
    stop_and_join();
    g_running = true;
  }

  // Runs the loop on a thread with a backend; post() hands it requests.
  // Returns once the loop waits for its first request (an earlier one would
  // be cleared as stale).
  void start_with_backend(const AgentConfig& config, const Fakes& fakes) {
    loop_ = std::make_unique<SessionLoop>(config, &backend_, &mailbox_, flags_, fakes.options());
    const int clears = backend_.cache_clears;
    thread_ = std::thread([this] { loop_->run(); });
    ASSERT_TRUE(test::wait_until([&] { return backend_.cache_clears > clears; }));
    std::this_thread::sleep_for(20ms);
  }
  void stop_and_join() {
    g_running = false;
    if (thread_.joinable()) thread_.join();
  }
  void post(const std::string& session_id) {
    network::PrepareSessionParams params;
    params.session_id = session_id;
    mailbox_.post(params);
  }

  test::FakeSessionBackend backend_;
  PrepareMailbox mailbox_;
  SessionFlags flags_;
  std::unique_ptr<SessionLoop> loop_;
  std::thread thread_;
};

TEST_F(SessionLoopTest, SetUpFailuresAreReportedToTheBackend) {
  struct Case {
    const char* name;
    Fakes fakes;
    const char* session_id;
    const char* critical;
    const char* code;  // null: nothing sent
  };
  const Case cases[] = {
      {"capture", {false, true}, "s-1", "critical: DXGI capture init failed", "DXGI_INIT_FAILED"},
      {"capture without id", {false, true}, "", "critical: DXGI capture init failed", nullptr},
      {"encoder", {true, false}, "s-2", "critical: No usable video encoder (NVENC and software both failed)",
       "ENCODER_INIT_FAILED"},
      {"encoder without id", {true, false}, "", "critical: No usable video encoder (NVENC and software both failed)",
       nullptr},
      // No launcher comes: the handshake times out, reported even without an id.
      {"handshake", {true, true}, "", "critical: TCP handshake failed (HANDSHAKE_TIMEOUT)", "HANDSHAKE_TIMEOUT"},
  };
  for (const Case& c : cases) {
    test::LogCapture logs;
    backend_.messages.clear();
    start_with_backend(config_on_free_port(), c.fakes);
    post(c.session_id);
    EXPECT_TRUE(test::wait_until([&] { return logs.contains(c.critical); })) << c.name << "\n" << logs.dump();
    stop_and_join();
    if (c.code == nullptr) {
      EXPECT_TRUE(backend_.messages.empty()) << c.name;
    } else {
      ASSERT_EQ(backend_.messages.size(), 1u) << c.name;
      EXPECT_EQ(backend_.messages[0].type, "error") << c.name;
      EXPECT_EQ(backend_.messages[0].code_or_reason, c.code) << c.name;
      EXPECT_EQ(backend_.messages[0].session_id, c.session_id) << c.name;
    }
    // The failed request is not run a second time.
    const std::vector<std::string> lines = logs.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(c.critical)), 1) << c.name << "\n" << logs.dump();
  }
}

TEST_F(SessionLoopTest, WaitsForRequestsAndStopsPromptly) {
  test::LogCapture logs;
  start_with_backend(config_on_free_port(), Fakes{});
  ASSERT_TRUE(test::wait_until([&] { return logs.contains("info: SaaS connector started - waiting for prepare_session..."); }));
  std::this_thread::sleep_for(1200ms);  // a few idle passes
  EXPECT_GE(backend_.cache_clears, 2);
  const auto stop_asked = std::chrono::steady_clock::now();
  stop_and_join();
  // One wait slice at most; generous for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - stop_asked, 5s);
  EXPECT_TRUE(backend_.messages.empty());
}

TEST_F(SessionLoopTest, StandaloneRunsOneSession) {
  test::LogCapture logs;
  Fakes fakes;
  fakes.capture_ok = false;
  SessionLoop loop(config_on_free_port(), nullptr, nullptr, flags_, fakes.options());
  loop.run();  // returns after its single (failed) pass
  EXPECT_TRUE(logs.contains("critical: DXGI capture init failed"));
  EXPECT_FALSE(logs.contains("SaaS connector started"));
}

// A whole session over loopback with fake capture and encoder: the launcher
// authenticates, the session streams, then the launcher goes away.
TEST_F(SessionLoopTest, LauncherLeavingEndsTheSessionAndTheLoopWaitsAgain) {
  test::LogCapture logs;
  const AgentConfig config = config_on_free_port();
  start_with_backend(config, Fakes{});
  post("s-9");

  test::TestLauncher launcher;
  ASSERT_TRUE(launcher.connect(static_cast<uint16_t>(config.port_base + 3)));
  ASSERT_TRUE(launcher.send(R"({"type":"auth","token":"t"})" "\n"));
  const std::optional<std::string> ready = launcher.read_line();
  ASSERT_TRUE(ready.has_value());
  EXPECT_NE(ready->find("session_ready"), std::string::npos);
  ASSERT_TRUE(test::wait_until([&] { return logs.contains("info: Pipeline running — press Ctrl+C to stop"); }))
      << logs.dump();
  launcher.close();

  ASSERT_TRUE(test::wait_until([&] { return logs.contains("info: Session s-9 ended cleanly"); })) << logs.dump();
  EXPECT_TRUE(logs.contains("info: Launcher disconnected — ending session"));
  EXPECT_TRUE(logs.contains("info: Session ending — cleaning up..."));
  EXPECT_TRUE(logs.contains("warning: Input receiver start failed — continuing without input"));
  EXPECT_TRUE(logs.contains("warning: Audio pipeline not available"));
  // end_requested re-arms the loop: it waits for the next request.
  EXPECT_TRUE(test::wait_until([&] { return backend_.cache_clears >= 3; }));
  stop_and_join();

  ASSERT_EQ(backend_.messages.size(), 2u);
  EXPECT_EQ(backend_.messages[0].type, "session_ready");
  EXPECT_EQ(backend_.messages[0].session_id, "s-9");
  EXPECT_EQ(backend_.messages[1].type, "session_ended");
  EXPECT_EQ(backend_.messages[1].code_or_reason, "pipeline_ended");
}

TEST(PrepareMailbox, KeepsARequestThatArrivesBetweenWaits) {
  PrepareMailbox mailbox;
  std::atomic<bool> running{true};
  EXPECT_FALSE(mailbox.wait(1ms, running).has_value());
  network::PrepareSessionParams params;
  params.session_id = "late";
  mailbox.post(params);
  const auto got = mailbox.wait(1ms, running);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->session_id, "late");
  mailbox.clear();
  EXPECT_FALSE(mailbox.wait(1ms, running).has_value());
}

TEST(TerminateSession, EndsTheSessionAndStopsTheFrameLoop) {
  test::LogCapture logs;
  SessionFlags flags;
  terminate_session(flags, "s-3", "saas_terminated");
  EXPECT_TRUE(flags.end_requested);
  EXPECT_FALSE(g_running);
  EXPECT_TRUE(logs.contains("info: SaaS terminated session s-3 (saas_terminated)"));
  g_running = true;
}

}  // namespace
}  // namespace vn
