// The control loop on a real loopback connection after a handshake.
#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/tcp_test_client.h"

namespace vn::network {
namespace {

using namespace std::chrono_literals;

const std::string kAuth = R"({"type":"auth","token":"t"})" "\n";

// Callback events as text, in arrival order; thread-safe.
class Events {
 public:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  // Waits (hang guard only) until `count` events arrived; returns them all.
  std::vector<std::string> wait_for(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return events_.size() >= count; });
    return events_;
  }
  std::vector<std::string> all() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

struct Options {
  bool stats = true;
  bool command = true;
  bool settings = true;
  std::string first_bytes = kAuth;  // what the launcher sends before the loop starts
};

// A handshaken session with the loop running and the callbacks recording.
class ControlLoop : public testing::Test {
 protected:
  // A server without key or token hash that has sent session_ready after
  // the launcher sent `first_bytes`; the control loop is not started.
  void handshake(const std::string& first_bytes) {
    run_ = std::make_unique<test::ServerUnderTest>(std::vector<uint8_t>{}, "");
    run_->start_handshake();
    ASSERT_TRUE(launcher_.connect(run_->port()));
    ASSERT_TRUE(launcher_.send(first_bytes));
    ASSERT_TRUE(launcher_.read_line().has_value());
    ASSERT_TRUE(run_->handshake_result());
  }

  void open(const Options& options = {}) {
    handshake(options.first_bytes);
    if (HasFatalFailure()) return;
    TcpControlServer& server = run_->server();
    if (options.stats) {
      server.set_stats_callback([this](const ClientStats& s) { events_.add("stats:" + std::to_string(s.rtt_ms)); });
    }
    if (options.command) {
      server.set_command_callback([this](const std::string& type) { events_.add("command:" + type); });
    }
    if (options.settings) {
      server.set_settings_callback([this](const SettingsChange& s) {
        events_.add("settings:" + std::to_string(s.bitrate_kbps) + "," + std::to_string(s.fps) + "," +
                    std::to_string(s.width) + "," + std::to_string(s.height));
      });
    }
    server.start_control_loop();
    run_->run_io();
  }

  void TearDown() override { run_.reset(); }

  Events events_;
  test::TestLauncher launcher_;
  std::unique_ptr<test::ServerUnderTest> run_;
};

TEST_F(ControlLoop, PingIsAnsweredWithACompactPong) {
  open();
  ASSERT_TRUE(launcher_.send(R"({"type":"ping","ts":123})" "\n"));
  // The exact bytes: sorted keys, no spaces, one line feed (read_line drops it).
  EXPECT_EQ(launcher_.read_line(), std::optional<std::string>(R"({"ts":123,"type":"pong"})"));
  ASSERT_TRUE(launcher_.send(R"({"type":"ping","ts":1})" "\n" R"({"type":"ping","ts":2})" "\n"));
  EXPECT_EQ(launcher_.read_line(), std::optional<std::string>(R"({"ts":1,"type":"pong"})"));
  EXPECT_EQ(launcher_.read_line(), std::optional<std::string>(R"({"ts":2,"type":"pong"})"));
}

TEST_F(ControlLoop, SettingsWithOnlyBitrate) {
  open();
  ASSERT_TRUE(launcher_.send(R"({"type":"set_settings","bitrate":8000})" "\n"));
  EXPECT_EQ(events_.wait_for(1), std::vector<std::string>{"settings:8000,0,0,0"});
}

TEST_F(ControlLoop, StatsWithoutStatsCallbackReachTheCommandCallback) {
  open({.stats = false});
  ASSERT_TRUE(launcher_.send(R"({"type":"stats","rtt_ms":20})" "\n"));
  EXPECT_EQ(events_.wait_for(1), std::vector<std::string>{"command:stats"});
}

TEST_F(ControlLoop, MessagesInOneSegmentArriveInOrder) {
  // The first control message rides in the same segment as the auth line.
  open({.first_bytes = kAuth + R"({"type":"request_idr"})" "\n"});
  ASSERT_TRUE(launcher_.send(R"({"type":"stats","rtt_ms":5})" "\n" R"({"type":"end_session"})" "\n"));
  EXPECT_EQ(events_.wait_for(3),
            (std::vector<std::string>{"command:request_idr", "stats:5.000000", "command:end_session"}));
}

TEST_F(ControlLoop, LineOf8192BytesIsProcessedAnd8193Skipped) {
  test::LogCapture logs;
  open();
  auto sized = [&](const char* type, size_t size) {
    std::string line = R"({"type":")" + std::string(type) + R"(","pad":")";
    return line + std::string(size - line.size() - 2, 'x') + "\"}\n";
  };
  // A flood of them is logged the first 5 times only.
  std::string flood;
  for (int i = 0; i < 20; ++i) flood += sized("too_big", 8193);
  ASSERT_TRUE(launcher_.send(flood + sized("fits", 8192) + R"({"type":"last"})" "\n"));
  EXPECT_EQ(events_.wait_for(2), (std::vector<std::string>{"command:fits", "command:last"}));
  const std::vector<std::string> lines = logs.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       std::string("warning: TcpControlServer: oversized control message (8193 bytes) — ignoring")),
            5)
      << logs.dump();
  EXPECT_TRUE(run_->server().connected());
}

TEST_F(ControlLoop, BadLinesAreDroppedAndTheLoopGoesOn) {
  open();
  const std::string bad = std::string("\x00\xff\xfe garbage", 11) + "\n" +  // binary
                          "\n\n" +                                         // empty lines
                          "[1,2,3]\n"                                      // not an object
                          "\"ping\"\n"
                          R"({"type":["stats"]})" "\n"                      // type of the wrong kind
                          R"({"type":"set_settings","bitrate":"fast"})" "\n"
                          R"({"type":"set_settings","fps":99999999999999999999})" "\n"
                          R"({"type":"ping","ts":-5})" "\n"
                          R"({"type":"stats","rtt_ms":1e308})" "\n" +
                          std::string(12000, '{') + "\n";  // oversized
  ASSERT_TRUE(launcher_.send(bad + R"({"type":"ping","ts":9})" "\n"));
  EXPECT_EQ(launcher_.read_line(), std::optional<std::string>(R"({"ts":9,"type":"pong"})"));
  EXPECT_TRUE(events_.all().empty());
  EXPECT_TRUE(run_->server().connected());
}

TEST_F(ControlLoop, LineWithoutLineFeedPastTheBufferEndsTheLoop) {
  test::LogCapture logs;
  open();
  ASSERT_TRUE(launcher_.send(std::string(16 * 1024 + 1, 'z')));
  EXPECT_TRUE(test::wait_until([&] { return !run_->server().connected(); }));
  EXPECT_TRUE(logs.contains("warning: TcpControlServer: read error: ")) << logs.dump();
}

TEST_F(ControlLoop, LauncherClosingEndsTheLoop) {
  test::LogCapture logs;
  open();
  launcher_.close();
  EXPECT_TRUE(test::wait_until([&] { return !run_->server().connected(); }));
  EXPECT_TRUE(logs.contains("TcpControlServer: read error: ")) << logs.dump();
}

TEST_F(ControlLoop, NoCallbackAfterStop) {
  test::LogCapture logs;
  std::atomic<bool> stopped{false};
  std::atomic<int> late{0};
  handshake(kAuth);
  if (HasFatalFailure()) return;
  run_->server().set_command_callback([&](const std::string& type) {
    if (stopped) ++late;
    events_.add(type);
  });
  run_->server().start_control_loop();
  run_->run_io();

  // Stop while a burst is still being read.
  std::string burst;
  for (int i = 0; i < 2000; ++i) burst += R"({"type":"request_idr"})" "\n";
  ASSERT_TRUE(launcher_.send(burst));
  events_.wait_for(1);
  run_->server().stop();
  stopped = true;
  EXPECT_FALSE(run_->server().connected());
  EXPECT_TRUE(logs.contains("info: TcpControlServer: closed"));

  // The launcher sees the close; what it sends afterwards reaches nobody.
  launcher_.send(R"({"type":"end_session"})" "\n");
  EXPECT_TRUE(launcher_.read_until_closed().has_value());
  const size_t seen = events_.all().size();
  run_->stop_io();  // every queued handler has run
  EXPECT_EQ(late, 0);
  EXPECT_EQ(events_.all().size(), seen);
  EXPECT_FALSE(logs.contains("read error")) << logs.dump();  // the loop ended silently
  run_->server().stop();  // harmless twice
}

TEST_F(ControlLoop, StopFromInsideACallback) {
  handshake(kAuth);
  if (HasFatalFailure()) return;
  TcpControlServer& server = run_->server();
  server.set_command_callback([&](const std::string& type) {
    events_.add(type);
    if (type == "end_session") server.stop();
  });
  server.start_control_loop();
  run_->run_io();
  ASSERT_TRUE(launcher_.send(R"({"type":"end_session"})" "\n" R"({"type":"request_idr"})" "\n"));
  EXPECT_TRUE(launcher_.read_until_closed().has_value());
  run_->stop_io();
  EXPECT_EQ(events_.all(), std::vector<std::string>{"end_session"});
}

TEST(ControlLoopLifecycle, StopWithoutLoopAndDestroyAreHarmless) {
  asio::io_context io;
  {
    TcpControlServer server(io, std::vector<uint8_t>(32, 1), "");
    server.start_control_loop();  // no socket: nothing starts
    server.stop();
    server.stop();
    server.close();
  }
  EXPECT_EQ(io.poll(), 0u);
}

}  // namespace
}  // namespace vn::network
