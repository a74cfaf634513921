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
    reset_run_flag_for_tests();
  }

  // Runs the loop on a thread with a backend; post() hands it requests.
  // Returns once the loop waits for its first request.
  void start_with_backend(const AgentConfig& config, const Fakes& fakes) {
    loop_ = std::make_unique<SessionLoop>(config, &backend_, &mailbox_, flags_, fakes.options());
    const int clears = backend_.cache_clears;
    loop_returned_ = false;
    thread_ = std::thread([this] {
      loop_->run();
      loop_returned_ = true;
    });
    ASSERT_TRUE(test::wait_until([&] { return backend_.cache_clears > clears; }));
    std::this_thread::sleep_for(20ms);
  }
  void stop_and_join() {
    g_running = false;
    if (thread_.joinable()) thread_.join();
  }
  void post(const std::string& session_id, const std::string& resolution = "1920x1080",
            std::vector<uint8_t> key = {}) {
    network::PrepareSessionParams params;
    params.session_id = session_id;
    params.resolution = resolution;
    params.encryption_key = std::move(key);
    hand_over_prepare(mailbox_, backend_, std::move(params));
  }
  // The reports so far as "type code-or-reason session-id" lines.
  std::vector<std::string> reports() const {
    std::vector<std::string> out;
    for (const auto& m : backend_.messages()) out.push_back(m.type + " " + m.code_or_reason + " " + m.session_id);
    return out;
  }

  test::FakeSessionBackend backend_;
  PrepareMailbox mailbox_;
  SessionFlags flags_;
  std::unique_ptr<SessionLoop> loop_;
  std::thread thread_;
  std::atomic<bool> loop_returned_{false};
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
    backend_.clear();
    start_with_backend(config_on_free_port(), c.fakes);
    post(c.session_id);
    EXPECT_TRUE(test::wait_until([&] { return logs.contains(c.critical); })) << c.name << "\n" << logs.dump();
    stop_and_join();
    const auto messages = backend_.messages();
    if (c.code == nullptr) {
      EXPECT_TRUE(messages.empty()) << c.name;
    } else {
      ASSERT_EQ(messages.size(), 1u) << c.name;
      EXPECT_EQ(messages[0].type, "error") << c.name;
      EXPECT_EQ(messages[0].code_or_reason, c.code) << c.name;
      EXPECT_EQ(messages[0].session_id, c.session_id) << c.name;
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
  EXPECT_TRUE(backend_.messages().empty());
}

// Requests the loop must refuse before building anything: sizes no encoder
// takes, and a master key an earlier session already used (its keys and frame
// numbers, hence its nonces, would repeat).
TEST_F(SessionLoopTest, RefusesImpossibleSizesAndReusedKeys) {
  test::LogCapture logs;
  Fakes fakes;
  fakes.capture_ok = false;  // a request that is accepted ends at the capture
  start_with_backend(config_on_free_port(), fakes);
  const std::vector<uint8_t> key(32, 7);
  struct Case {
    const char* session_id;
    const char* resolution;
    std::vector<uint8_t> key;
    const char* code;
  };
  const Case cases[] = {
      {"zero", "0x0", {}, "INVALID_RESOLUTION"},
      {"negative", "-1920x1080", {}, "INVALID_RESOLUTION"},
      {"tiny", "3x3", {}, "INVALID_RESOLUTION"},
      {"odd", "1921x1080", {}, "INVALID_RESOLUTION"},
      {"too wide", "8192x2160", {}, "INVALID_RESOLUTION"},
      {"smallest", "64x64", {}, "DXGI_INIT_FAILED"},
      {"first use", "1280x720", key, "DXGI_INIT_FAILED"},
      {"second use", "1280x720", key, "KEY_REUSED"},
      {"no key twice", "1280x720", {}, "DXGI_INIT_FAILED"},
  };
  for (const Case& c : cases) {
    backend_.clear();
    post(c.session_id, c.resolution, c.key);
    ASSERT_TRUE(test::wait_until([&] { return !backend_.messages().empty(); })) << c.session_id;
    EXPECT_EQ(reports(), std::vector<std::string>{std::string("error ") + c.code + " " + c.session_id});
  }
  EXPECT_TRUE(logs.contains("critical: Unsupported resolution 3x3 for h264: width and height must be even, 64 to 4096"));
  EXPECT_TRUE(logs.contains("critical: Refusing session second use: its encryption_key was already used by an earlier session"));
}

// A backend that sends the next prepare_session as soon as it reads an error
// or session_ended: the request must not be lost in the pause or teardown
// that follows the report.
TEST_F(SessionLoopTest, ARequestSentRightAfterAReportIsServed) {
  Fakes fakes;
  fakes.capture_ok = false;
  std::atomic<int> next{2};
  backend_.on_report = [&](const test::FakeSessionBackend::Message& m) {
    const int n = next.fetch_add(1);
    if (m.type == "error" && n <= 4) post("s-" + std::to_string(n));
  };
  start_with_backend(config_on_free_port(), fakes);
  post("s-1");
  ASSERT_TRUE(test::wait_until([&] { return backend_.messages().size() >= 4; }));
  EXPECT_EQ(reports(), (std::vector<std::string>{"error DXGI_INIT_FAILED s-1", "error DXGI_INIT_FAILED s-2",
                                                 "error DXGI_INIT_FAILED s-3", "error DXGI_INIT_FAILED s-4"}));
}

// A stop signal during a session's end (here: as terminate_session or
// end_session ends it) or before the loop starts must stop the agent; the
// loop must not re-arm over it.
TEST_F(SessionLoopTest, AStopRequestIsNeverOverwritten) {
  Fakes fakes;
  fakes.capture_ok = false;
  backend_.on_report = [&](const test::FakeSessionBackend::Message&) {
    flags_.end_requested = true;
    g_running = false;
    request_agent_stop();
  };
  start_with_backend(config_on_free_port(), fakes);
  post("s-1");
  // The loop leaves by itself (TearDown would end it otherwise).
  EXPECT_TRUE(test::wait_until([&] { return loop_returned_.load(); }));
  EXPECT_FALSE(g_running.load());

  // Stopped before the first pass: the loop does not start at all.
  SessionLoop standalone(config_on_free_port(), nullptr, nullptr, flags_, fakes.options());
  test::LogCapture logs;
  EXPECT_FALSE(standalone.run());
  EXPECT_FALSE(logs.contains("DXGI capture init failed"));
}

TEST_F(SessionLoopTest, StandaloneRunsOneSession) {
  test::LogCapture logs;
  Fakes fakes;
  fakes.capture_ok = false;
  SessionLoop loop(config_on_free_port(), nullptr, nullptr, flags_, fakes.options());
  EXPECT_FALSE(loop.run());  // returns after its single pass, which never streamed
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
  // One session at a time: a request for another is answered at once.
  post("s-10");
  ASSERT_TRUE(test::wait_until([&] { return backend_.messages().size() >= 2; }));
  EXPECT_TRUE(logs.contains("warning: SaaS prepare_session s-10 refused: session s-9 is still running"));
  launcher.close();

  ASSERT_TRUE(test::wait_until([&] { return logs.contains("info: Session s-9 ended cleanly"); })) << logs.dump();
  EXPECT_TRUE(logs.contains("info: Launcher disconnected — ending session"));
  EXPECT_TRUE(logs.contains("info: Session ending — cleaning up..."));
  EXPECT_TRUE(logs.contains("warning: Input receiver start failed — continuing without input"));
  EXPECT_TRUE(logs.contains("warning: Audio pipeline not available"));
  // end_requested re-arms the loop: it waits for the next request.
  EXPECT_TRUE(test::wait_until([&] { return backend_.cache_clears >= 3; }));
  stop_and_join();

  EXPECT_EQ(reports(), (std::vector<std::string>{"session_ready  s-9", "error AGENT_BUSY s-10",
                                                 "session_ended pipeline_ended s-9"}));
}

network::PrepareSessionParams request(const std::string& session_id) {
  network::PrepareSessionParams params;
  params.session_id = session_id;
  return params;
}

TEST(PrepareMailbox, HandsEachRequestOverOnceAndOneSessionAtATime) {
  PrepareMailbox mailbox;
  std::atomic<bool> running{true};
  EXPECT_FALSE(mailbox.take(1ms, running).has_value());

  EXPECT_EQ(mailbox.post(request("a")).posted, PrepareMailbox::Posted::kQueued);
  const auto replaced = mailbox.post(request("b"));
  EXPECT_EQ(replaced.posted, PrepareMailbox::Posted::kReplaced);
  EXPECT_EQ(replaced.other_session_id, "a");

  const auto got = mailbox.take(1ms, running);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->session_id, "b");
  EXPECT_FALSE(mailbox.take(1ms, running).has_value()) << "taken once";

  const auto busy = mailbox.post(request("c"));
  EXPECT_EQ(busy.posted, PrepareMailbox::Posted::kBusy);
  EXPECT_EQ(busy.other_session_id, "b");
  EXPECT_FALSE(mailbox.take(1ms, running).has_value()) << "a refused request is not kept";

  mailbox.finish_session();
  EXPECT_EQ(mailbox.post(request("d")).posted, PrepareMailbox::Posted::kQueued);
  EXPECT_EQ(mailbox.take(1ms, running)->session_id, "d");
}

TEST(TerminateSession, EndsOnlyTheSessionItNames) {
  struct Case {
    const char* running;  // null: none runs
    const char* pending;  // null: none kept
    const char* terminate;
    bool ends_session;
    bool drops_pending;
    const char* line;
  };
  const Case cases[] = {
      {"s-3", nullptr, "s-3", true, false, "info: SaaS terminated session s-3 (saas_terminated)"},
      {"s-3", nullptr, "", true, false, "info: SaaS terminated session  (saas_terminated)"},
      {"s-3", nullptr, "s-4", false, false, "info: SaaS terminate_session for s-4 ignored: not the running session"},
      {nullptr, "s-5", "s-5", false, true, "info: SaaS terminated session s-5 before it started (saas_terminated)"},
      {nullptr, "s-5", "", false, false, "info: SaaS terminate_session for  ignored: not the running session"},
      {nullptr, nullptr, "s-6", false, false, "info: SaaS terminate_session for s-6 ignored: not the running session"},
  };
  for (const Case& c : cases) {
    test::LogCapture logs;
    SessionFlags flags;
    PrepareMailbox mailbox;
    std::atomic<bool> running{true};
    if (c.running != nullptr) {
      mailbox.post(request(c.running));
      ASSERT_TRUE(mailbox.take(1ms, running).has_value());
    }
    if (c.pending != nullptr) mailbox.post(request(c.pending));

    terminate_session(flags, mailbox, c.terminate, "saas_terminated");
    EXPECT_EQ(flags.end_requested.load(), c.ends_session) << c.line;
    EXPECT_EQ(g_running.load(), !c.ends_session) << c.line;
    EXPECT_TRUE(logs.contains(c.line)) << logs.dump();
    if (c.pending != nullptr) {
      EXPECT_EQ(!mailbox.take(1ms, running).has_value(), c.drops_pending) << c.line;
    }
    reset_run_flag_for_tests();
  }
}

}  // namespace
}  // namespace vn
