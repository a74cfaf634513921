#include "network/backend/saas_connector.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/base/secret_wipe.h"
#include "raw_backend.h"
#include "support/freed_memory_watch.h"
#include "support/log_capture.h"
#include "test_backend.h"

namespace vn::network {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using tools::ReceivedMessage;
using tools::TestBackend;
using tools::UpgradeMode;

constexpr auto kWait = 10s;

// Secrets a backend message or the connector's configuration carries.
constexpr char kKey[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
constexpr char kTokenHash[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
constexpr char kLongToken[] = "srv1.0123456789abcdef-signature";  // longer than a short-string buffer

// Polls `condition` until it holds or `timeout` passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A port on which nothing listens (taken from a backend that is gone).
uint16_t free_port() {
  TestBackend probe;
  EXPECT_TRUE(probe.start());
  const uint16_t port = probe.port();
  probe.stop();
  return port;
}

class SaasConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    ASSERT_TRUE(backend_.start());
  }
  void TearDown() override {
    if (connector_) connector_->stop();
  }

  SaasConnectorConfig config(uint16_t port) const {
    SaasConnectorConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.agent_token = "srv1.signature";
    c.registration.gpu_model = "Test GPU";
    c.registration.gpu_vram_mb = 4096;
    c.registration.cpu_model = "Test CPU";
    c.registration.ram_mb = 16384;
    c.registration.os_version = "Test OS 1.0";
    c.registration.port_base = 48010;
    c.sample_load = [] { return BackendLoad{17, 3, 2048}; };
    return c;
  }

  // Starts a connector with the clock `time_scale` times faster.
  SaasConnector& start(uint16_t port, uint32_t time_scale = 1, BackendWebSocketLimits limits = {}) {
    SaasConnectorTimings timings;
    timings.time_scale = time_scale;
    timings.limits = limits;
    return start(port, timings);
  }

  SaasConnector& start(uint16_t port, SaasConnectorTimings timings) {
    connector_ = std::make_unique<SaasConnector>(io_, config(port), timings);
    connector_->set_prepare_callback([this](const PrepareSessionParams& params) {
      const std::lock_guard lock(mutex_);
      prepared_.push_back(params);
    });
    connector_->set_terminate_callback([this](const std::string& id, const std::string& reason) {
      const std::lock_guard lock(mutex_);
      terminated_.push_back(id + "|" + reason);
    });
    connector_->start();
    return *connector_;
  }

  SaasConnector& start_connected(uint32_t time_scale = 1) {
    SaasConnector& connector = start(backend_.port(), time_scale);
    EXPECT_TRUE(backend_.wait_type("register", kWait));
    return connector;
  }

  std::vector<PrepareSessionParams> prepared() {
    const std::lock_guard lock(mutex_);
    return prepared_;
  }
  std::vector<std::string> terminated() {
    const std::lock_guard lock(mutex_);
    return terminated_;
  }
  std::vector<std::string> types() const {
    std::vector<std::string> out;
    for (const auto& m : backend_.messages()) out.push_back(m.type);
    return out;
  }

  test::LogCapture log_;
  TestBackend backend_{tools::TestBackendOptions{.agent_token = "srv1.signature"}};
  asio::io_context io_;
  std::unique_ptr<SaasConnector> connector_;
  std::mutex mutex_;
  std::vector<PrepareSessionParams> prepared_;
  std::vector<std::string> terminated_;
};

TEST_F(SaasConnectorTest, UpgradeRequestAndRegister) {
  start_connected();
  const auto requests = backend_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& lines = requests[0].lines;
  ASSERT_EQ(lines.size(), 7u) << requests[0].raw;
  EXPECT_EQ(lines[0], "GET /agent/connect HTTP/1.1");
  EXPECT_EQ(lines[1], "Host: 127.0.0.1");
  EXPECT_EQ(lines[2], "Upgrade: websocket");
  EXPECT_EQ(lines[3], "Connection: Upgrade");
  EXPECT_EQ(lines[4].rfind("Sec-WebSocket-Key: ", 0), 0u);
  EXPECT_EQ(lines[4].size(), std::string("Sec-WebSocket-Key: ").size() + 24);
  EXPECT_EQ(lines[5], "Sec-WebSocket-Version: 13");
  EXPECT_EQ(lines[6], "agent-token: srv1.signature");
  EXPECT_TRUE(requests[0].accepted);

  const auto registered = backend_.wait_type("register", kWait);
  ASSERT_TRUE(registered);
  EXPECT_EQ(registered->json, json::parse(R"({"type":"register","agent_version":"1.0.0","gpu_model":"Test GPU",
      "gpu_vram_mb":4096,"cpu_model":"Test CPU","ram_mb":16384,"os_version":"Test OS 1.0","port_base":48010,
      "supported_codecs":["h264","hevc"],"max_resolution":"1920x1080","max_fps":60})"));
  EXPECT_TRUE(eventually([&] { return connector_->connected(); }));
  EXPECT_TRUE(log_.contains("info: SaasConnector: connecting to 127.0.0.1:" + std::to_string(backend_.port())));
  EXPECT_TRUE(log_.contains("info: SaasConnector: WebSocket connected"));
  EXPECT_TRUE(log_.contains("info: SaasConnector: sent register (gpu=Test GPU vram=4096MB port_base=48010)"));
}

TEST_F(SaasConnectorTest, HeartbeatsEveryFiveSeconds) {
  // The connector's clock runs 50 times faster: 5 s are 100 ms here.
  start_connected(50);
  const auto first = backend_.wait_type("heartbeat", kWait, 1);
  const auto fifth = backend_.wait_type("heartbeat", kWait, 5);
  ASSERT_TRUE(first && fifth);
  EXPECT_EQ(first->json, json::parse(R"({"type":"heartbeat","status":"online","cpu_pct":17,"gpu_pct":3,"ram_mb_free":2048})"));
  // Four intervals of 5 s nominal are 400 ms real. Arrival times carry the
  // delivery delays (a late first heartbeat shortens the gap), so the bound
  // leaves one interval of slack; heartbeats sent too often fall far below it.
  EXPECT_GE(fifth->at - first->at, 300ms);
}

TEST_F(SaasConnectorTest, ApplicationAndControlPings) {
  start_connected();
  ASSERT_TRUE(backend_.send_json({{"type", "ping"}}));
  const auto pong = backend_.wait_type("pong", kWait);
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->text, R"({"type":"pong"})");

  // A ping longer than a control frame may be (no valid server sends it).
  ASSERT_TRUE(backend_.send_raw(std::string("\x89\x7e\x00\xc8", 4) + std::string(200, 'p')));
  ASSERT_TRUE(backend_.send_ping("short"));
  ASSERT_TRUE(eventually([&] { return backend_.pongs().size() == 2; }));
  EXPECT_EQ(backend_.pongs()[0], std::string(125, 'p'));
  EXPECT_EQ(backend_.pongs()[1], "short");
  EXPECT_EQ(backend_.messages_of("pong").size(), 1u);  // exactly one application pong
}

TEST_F(SaasConnectorTest, LongMessagesUseTheExtendedLengthForms) {
  SaasConnector& connector = start_connected();
  // Sizes chosen so that the whole JSON text is 126 and 65536 bytes long.
  const std::string empty = error_message(SessionError::kAuthFail, "", "");
  for (const size_t total : {size_t{126}, size_t{65536}}) {
    const std::string text(total - empty.size(), 'm');
    connector.send_error(SessionError::kAuthFail, text, "");
    const auto received = backend_.wait_message(
        [&](const ReceivedMessage& m) { return m.type == "error" && m.text.size() == total; }, kWait);
    ASSERT_TRUE(received) << total;
    EXPECT_EQ(received->json["message"], text);
  }
}

TEST_F(SaasConnectorTest, InboundRequestsReachTheCallbacks) {
  start_connected();
  ASSERT_TRUE(backend_.send_json({{"type", "prepare_session"},
                                  {"session_id", "s1"},
                                  {"constraints", {{"resolution", "1280x720"}, {"max_fps", 30}}}}));
  ASSERT_TRUE(backend_.send_fragmented(json{{"type", "terminate_session"}, {"session_id", "s1"}}.dump(), 3));
  ASSERT_TRUE(backend_.send_json({{"type", "terminate_session"}, {"session_id", "s2"}, {"reason", "admin"}}));
  ASSERT_TRUE(eventually([&] { return terminated().size() == 2; }));
  ASSERT_EQ(prepared().size(), 1u);
  EXPECT_EQ(prepared()[0].session_id, "s1");
  EXPECT_EQ(prepared()[0].resolution, "1280x720");
  EXPECT_EQ(prepared()[0].max_fps, 30u);
  EXPECT_EQ(terminated(), (std::vector<std::string>{"s1|saas_terminated", "s2|admin"}));
  EXPECT_TRUE(log_.contains("info: SaasConnector: prepare_session id=s1 codec=h264 res=1280x720 fps=30 bitrate=15000kbps "
                            "hide_desktop=false launch_steam=false steam_app_id=<none>"))
      << log_.dump();
}

TEST_F(SaasConnectorTest, BadMessagesAreDroppedAndTheConnectionStays) {
  start_connected();
  ASSERT_TRUE(backend_.send_text("{not json"));
  ASSERT_TRUE(backend_.send_text("[1,2]"));
  ASSERT_TRUE(backend_.send_json({{"type", "prepare_session"}, {"session_id", 5}, {"encryption_key", "c2VjcmV0S2V5"}}));
  ASSERT_TRUE(backend_.send_json({{"type", "terminate_session"}, {"session_id", false}}));
  ASSERT_TRUE(backend_.send_json({{"type", "surprise"}}));
  ASSERT_TRUE(backend_.send_raw(std::string("\x80\x03", 2) + "abc"));  // continuation with no fragment
  ASSERT_TRUE(backend_.send_raw(std::string("\x83\x01", 2) + "?"));    // reserved opcode
  ASSERT_TRUE(backend_.send_json({{"type", "ping"}}));
  ASSERT_TRUE(backend_.wait_type("pong", kWait));

  EXPECT_TRUE(log_.contains("warning: SaasConnector: invalid JSON (9 bytes, parse error at byte 3) — dropped"))
      << log_.dump();
  EXPECT_TRUE(log_.contains("warning: SaasConnector: message is not a JSON object (a JSON array, 5 bytes) — dropped"));
  EXPECT_TRUE(log_.contains("error: SaasConnector: error processing prepare_session: field 'session_id' must be a "
                            "string"));
  EXPECT_TRUE(log_.contains("warning: SaasConnector: dropping malformed terminate_session message (47 bytes): field "
                            "'session_id' must be a string"))
      << log_.dump();
  EXPECT_FALSE(log_.contains("c2VjcmV0S2V5")) << "the master key must not be logged";
  EXPECT_TRUE(log_.contains("debug: SaasConnector: unhandled message type 'surprise'"));
  EXPECT_TRUE(log_.contains("warning: SaasConnector: WS continuation frame with no active fragment — dropping"));
  EXPECT_TRUE(log_.contains("SaasConnector: ignoring WS frame with opcode 0x3"));
  EXPECT_TRUE(prepared().empty());
  EXPECT_TRUE(terminated().empty());
  EXPECT_EQ(backend_.connection_count(), 1);
}

TEST_F(SaasConnectorTest, LimitsAndCloseFramesEndTheConnectionAndItComesBack) {
  start_connected();
  struct Case {
    const char* name;
    std::function<bool()> send;
    const char* line;
  };
  std::string oversized = "\x81\x7f";
  for (uint64_t length = 1048577, shift = 56;; shift -= 8) {
    oversized += static_cast<char>((length >> shift) & 0xFF);
    if (shift == 0) break;
  }
  std::string fragments = std::string("\x01\x7f", 2) + std::string("\0\0\0\0\0\x09\0\0", 8) + std::string(0x90000, 'a');
  fragments += std::string("\x80\x7f", 2) + std::string("\0\0\0\0\0\x09\0\0", 8) + std::string(0x90000, 'b');
  const Case cases[] = {
      {"frame over 1 MiB", [&] { return backend_.send_raw(oversized); },
       "SaasConnector: WS frame payload 1048577 bytes exceeds 1048576 — closing"},
      {"fragments over 1 MiB", [&] { return backend_.send_raw(fragments); },
       "SaasConnector: WS fragmented message exceeds 1048576 bytes — closing"},
      {"close frame", [&] { return backend_.send_close(1001, "maintenance"); },
       "warning: SaasConnector: received WS close frame code=1001 reason='maintenance'"},
      {"dropped connection", [&] { return backend_.drop(); }, "warning: SaasConnector: connection error: "},
  };
  int connections = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.send());
    ASSERT_TRUE(backend_.wait_connections(++connections, kWait)) << log_.dump();
    EXPECT_TRUE(log_.contains(c.line)) << log_.dump();
    ASSERT_TRUE(backend_.wait_type("register", kWait, connections));
  }
  EXPECT_TRUE(log_.contains("warning: SaasConnector: disconnected, retry in 1000ms"));
}

TEST_F(SaasConnectorTest, BackoffDoublesUpToThirtySeconds) {
  // Nothing listens; the clock runs 100 times faster (30 s waits are 0.3 s).
  start(free_port(), 100);
  ASSERT_TRUE(eventually([&] { return log_.contains("retry in 30000ms") && log_.dump().find("retry in 30000ms") !=
                                                                              log_.dump().rfind("retry in 30000ms"); },
                         30s));
  connector_->stop();
  std::vector<std::string> waits;
  for (const auto& line : log_.lines()) {
    const auto at = line.find("disconnected, retry in ");
    if (at != std::string::npos) waits.push_back(line.substr(at + 23));
  }
  ASSERT_GE(waits.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(waits.begin(), waits.begin() + 7),
            (std::vector<std::string>{"1000ms", "2000ms", "4000ms", "8000ms", "16000ms", "30000ms", "30000ms"}));
  EXPECT_TRUE(log_.contains("warning: SaasConnector: TCP connect failed: "));
  EXPECT_TRUE(log_.contains("info: SaasConnector: stopped"));
}

TEST_F(SaasConnectorTest, ReportsMadeWhileDownAreDeliveredAfterRegister) {
  const uint16_t port = backend_.port();
  backend_.stop();
  SaasConnector& connector = start(port, 20);
  ASSERT_TRUE(eventually([&] { return log_.contains("TCP connect failed"); }));

  for (int i = 1; i <= 9; ++i) connector.send_session_ended("s" + std::to_string(i), "pipeline_ended", i);
  connector.send_error(SessionError::kHandshakeTimeout, "TCP handshake failed", "");  // not cached
  connector.send_session_ready("s10", "198.51.100.1", 1, 2, 3);

  TestBackend revived(tools::TestBackendOptions{.port = port, .agent_token = "srv1.signature"});
  ASSERT_TRUE(revived.start());
  ASSERT_TRUE(revived.wait_type("session_ended", kWait, 8));
  ASSERT_TRUE(revived.wait_type("session_ready", kWait));
  std::vector<std::string> sequence;
  for (const auto& m : revived.messages()) {
    if (m.type == "heartbeat") continue;
    sequence.push_back(m.type == "session_ended" ? m.json["session_id"].get<std::string>() : m.type);
  }
  EXPECT_EQ(sequence, (std::vector<std::string>{"register", "session_ready", "s2", "s3", "s4", "s5", "s6", "s7", "s8",
                                                "s9"}));
  EXPECT_TRUE(revived.messages_of("error").empty());
  EXPECT_TRUE(log_.contains("warning: SaasConnector: discarding 11 stale queued messages on reconnect"));
  EXPECT_TRUE(log_.contains("info: SaasConnector: re-sending cached session_ready after reconnect"));
  EXPECT_TRUE(log_.contains("SaasConnector: re-sending cached terminal message after reconnect (key=s9)"));
  revived.stop();
}

TEST_F(SaasConnectorTest, CachesAcrossReconnects) {
  SaasConnector& connector = start_connected();
  connector.send_session_ready("s1", "", 47998, 47999, 48000);
  connector.send_error(SessionError::kAuthRejected, "TCP handshake failed", "s0");
  ASSERT_TRUE(backend_.wait_type("error", kWait));

  ASSERT_TRUE(backend_.drop());
  ASSERT_TRUE(backend_.wait_type("register", kWait, 2));
  ASSERT_TRUE(backend_.wait_type("session_ready", kWait, 2));
  ASSERT_TRUE(backend_.wait_type("error", kWait, 2));  // key "s0#err"

  // Once the session is over the ready message is not re-sent, its end is.
  connector.send_session_ended("s1", "pipeline_ended", 12);
  ASSERT_TRUE(backend_.wait_type("session_ended", kWait));
  ASSERT_TRUE(backend_.drop());
  ASSERT_TRUE(backend_.wait_type("register", kWait, 3));
  ASSERT_TRUE(backend_.wait_type("session_ended", kWait, 2));
  EXPECT_EQ(backend_.messages_of("session_ready").size(), 2u);
  EXPECT_EQ(backend_.wait_type("session_ended", kWait, 2)->json["duration_sec"], 12);

  connector.send_session_ready("s2", "", 47998, 47999, 48000);
  connector.clear_cached_session_ready();
  ASSERT_TRUE(backend_.wait_type("session_ready", kWait, 3));
  ASSERT_TRUE(backend_.drop());
  ASSERT_TRUE(backend_.wait_type("register", kWait, 4));
  ASSERT_TRUE(backend_.wait_type("session_ended", kWait, 3));
  EXPECT_EQ(backend_.messages_of("session_ready").size(), 3u);
}

TEST_F(SaasConnectorTest, FailedUpgradesAreRetried) {
  BackendWebSocketLimits limits;
  limits.handshake_timeout = 6s;  // 300 ms at the test's time scale
  const struct {
    UpgradeMode mode;
    std::string response;
    const char* line;
  } cases[] = {
      {UpgradeMode::kRawResponse, "HTTP/1.1 400 Bad Request\r\nContent-Length: 48\r\n\r\nThe plain HTTP request was sent to HTTPS port",
       "error: SaasConnector: the agent speaks plain ws:// only. Use --saas-port 80 (behind a TLS-terminating proxy) "
       "or run a local TLS terminator in front of the agent."},
      {UpgradeMode::kRawResponse, "HTTP/1.1 403 Forbidden\r\n\r\n",
       "error: SaasConnector: WebSocket handshake rejected: HTTP/1.1 403 Forbidden\\r\\n\\r\\n"},
      // One line, whatever the answer holds; an echoed token is not quoted.
      {UpgradeMode::kRawResponse, "HTTP/1.1 403 Forbidden\r\nX-Echo: srv1.signature\r\n\r\nerror: forged\x1b",
       "error: SaasConnector: WebSocket handshake rejected: HTTP/1.1 403 Forbidden\\r\\nX-Echo: "
       "<agent-token>\\r\\n\\r\\nerror: forged\\x1b"},
      {UpgradeMode::kRawResponse, "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(20000, 'f'),
       "warning: SaasConnector: WS handshake failed: upgrade response header exceeds 16384 bytes"},
      // A 101 that does not answer our key is no WebSocket server of ours.
      {UpgradeMode::kRawResponse,
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n",
       "error: SaasConnector: the upgrade answer's Sec-WebSocket-Accept is missing or does not match the key sent"},
      {UpgradeMode::kGarbage, "", "error: SaasConnector: WebSocket handshake rejected: \\x16"},
      {UpgradeMode::kNeverAnswer, "", "warning: SaasConnector: WS handshake failed: no upgrade response"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    backend_.set_upgrade_mode(c.mode, c.response);
    backend_.clear();
    test::LogCapture log;
    start(backend_.port(), 20, limits);
    ASSERT_TRUE(eventually([&] { return log.contains("retry in 2000ms"); })) << log.dump();
    EXPECT_TRUE(log.contains(c.line)) << log.dump();
    EXPECT_GE(backend_.requests().size(), 2u);
    connector_->stop();
  }
  // A wrong token is refused by the backend and the connector keeps trying.
  backend_.set_upgrade_mode(UpgradeMode::kAccept);
  test::LogCapture log;
  SaasConnectorConfig wrong = config(backend_.port());
  wrong.agent_token = "forged";
  SaasConnectorTimings fast;
  fast.time_scale = 20;
  connector_ = std::make_unique<SaasConnector>(io_, wrong, fast);
  connector_->start();
  ASSERT_TRUE(eventually([&] { return log.contains("retry in 2000ms"); })) << log.dump();
  EXPECT_TRUE(log.contains("error: SaasConnector: WebSocket handshake rejected: HTTP/1.1 401"));
  EXPECT_FALSE(connector_->connected());
}

TEST_F(SaasConnectorTest, StopEndsAConnectedPump) {
  SaasConnector& connector = start_connected();
  connector.stop();
  connector.stop();
  EXPECT_FALSE(connector.connected());
  EXPECT_TRUE(backend_.wait_disconnected(kWait));
  EXPECT_TRUE(log_.contains("info: SaasConnector: stopped"));
}


// A backend message cut short, of the wrong shape or with a key of the wrong
// type can still carry the master key and the token hash: the lines about it
// say what was wrong, and quote none of it.
TEST_F(SaasConnectorTest, NoKeyOrTokenHashReachesTheLog) {
  SaasConnector connector(io_, config(backend_.port()));  // not started: handle_message() alone
  const std::string prepare = std::string(R"({"encryption_key":")") + kKey + R"(","session_token_sha256":")" +
                              kTokenHash + R"(","type":"prepare_session","session_id":5})";
  const std::string cut = prepare.substr(0, 40);  // ends inside the key
  const std::string array = std::string(R"([")") + kKey + R"(",")" + kTokenHash + R"("])";
  const std::string terminate = std::string(R"({"type":"terminate_session","session_id":false,"encryption_key":")") +
                                kKey + R"(","session_token_sha256":")" + kTokenHash + R"("})";
  connector.handle_message(cut);
  connector.handle_message(array);
  connector.handle_message(std::string("\"") + kKey + "\"");
  connector.handle_message(prepare);
  connector.handle_message(terminate);

  EXPECT_TRUE(log_.contains("warning: SaasConnector: invalid JSON (40 bytes, parse error at byte 41) — dropped"))
      << log_.dump();
  EXPECT_TRUE(log_.contains("warning: SaasConnector: message is not a JSON object (a JSON array, " +
                            std::to_string(array.size()) + " bytes) — dropped"))
      << log_.dump();
  EXPECT_TRUE(log_.contains("warning: SaasConnector: message is not a JSON object (a JSON string, 46 bytes) — dropped"))
      << log_.dump();
  EXPECT_TRUE(log_.contains("error: SaasConnector: error processing prepare_session: field 'session_id' must be a "
                            "string"))
      << log_.dump();
  EXPECT_TRUE(log_.contains("warning: SaasConnector: dropping malformed terminate_session message (" +
                            std::to_string(terminate.size()) + " bytes): field 'session_id' must be a string"))
      << log_.dump();
  // Not even a piece of them.
  EXPECT_EQ(log_.dump().find(std::string(kKey).substr(0, 8)), std::string::npos) << log_.dump();
  EXPECT_EQ(log_.dump().find(std::string(kTokenHash).substr(0, 8)), std::string::npos) << log_.dump();
}

// Values from the backend are logged escaped: a CR LF in a JSON string does
// not start a log line of its own.
TEST_F(SaasConnectorTest, BackendTextCannotForgeLogLines) {
  SaasConnector connector(io_, config(backend_.port()));
  connector.handle_message(json{{"type", "prepare_session"},
                                {"session_id", "s1\r\nerror: forged"},
                                {"constraints", {{"codec", "h264\n"}, {"resolution", "1x1\x1b[2J"}}},
                                {"session_isolation", {{"steam_app_id", "570\r\n"}}}}
                               .dump());
  connector.handle_message(json{{"type", "surprise\r\nerror: forged"}}.dump());

  EXPECT_TRUE(log_.contains("info: SaasConnector: prepare_session id=s1\\r\\nerror: forged codec=h264\\n "
                            "res=1x1\\x1b[2J fps=60 bitrate=15000kbps hide_desktop=false launch_steam=false "
                            "steam_app_id=570\\r\\n"))
      << log_.dump();
  EXPECT_TRUE(log_.contains("debug: SaasConnector: unhandled message type 'surprise\\r\\nerror: forged'"))
      << log_.dump();
  for (const std::string& line : log_.lines()) {
    EXPECT_EQ(line.find_first_of("\r\n\x1b"), std::string::npos) << line;
  }
}

// The first batch of every connection is register, then the cached reports;
// reports that another thread makes meanwhile come after it, never before.
TEST_F(SaasConnectorTest, RegisterComesFirstOnEveryConnectionWhileReportsArrive) {
  SaasConnector& connector = start_connected(20);  // 1 s retry waits are 50 ms here
  connector.send_session_ended("s1", "pipeline_ended", 7);
  std::atomic<bool> done{false};
  std::thread reporter([&] {
    for (int i = 0; i < 100000 && !done; ++i) {
      connector.send_error(SessionError::kAuthFail, "report " + std::to_string(i), "");
      std::this_thread::sleep_for(20us);
    }
  });
  constexpr int kConnections = 8;
  ASSERT_TRUE(backend_.wait_type("session_ended", kWait, 1));
  for (int c = 2; c <= kConnections; ++c) {
    ASSERT_TRUE(backend_.drop());
    ASSERT_TRUE(backend_.wait_type("session_ended", kWait, c)) << log_.dump();
  }
  done = true;
  reporter.join();
  for (int c = 1; c <= kConnections; ++c) {
    SCOPED_TRACE(c);
    std::vector<std::string> first;
    for (const auto& m : backend_.messages()) {
      if (m.connection == c && first.size() < 2) first.push_back(m.type);
    }
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first[0], "register");
    // From the second connection on, the cached session_ended follows at once.
    if (c > 1) {
      EXPECT_EQ(first, (std::vector<std::string>{"register", "session_ended"}));
    }
  }
}

// The 30 s limit holds for a whole frame from its first byte: a backend that
// trickles a byte now and then cannot keep a frame open, and with it the
// connector (no heartbeats, no reports), for longer.
TEST_F(SaasConnectorTest, ATricklingFrameEndsTheConnectionAtItsDeadline) {
  // The clock runs 100 times faster: the frame's 30 s are 300 ms here, and a
  // byte every 100 ms (10 s nominal) is well within any per-read stall limit.
  start_connected(100);
  ASSERT_TRUE(backend_.send_raw(std::string("\x81\x7e\x03\xe8", 4)));  // a 1000-byte text frame begins
  for (int i = 0; i < 40 && backend_.connection_count() < 2; ++i) {
    std::this_thread::sleep_for(100ms);
    if (!backend_.send_raw("a")) break;
  }
  ASSERT_TRUE(backend_.wait_connections(2, kWait)) << log_.dump();
  ASSERT_TRUE(backend_.wait_type("register", kWait, 2));
  EXPECT_TRUE(log_.contains(
      "warning: SaasConnector: a backend frame was not complete within 30000 ms of its first byte — closing"))
      << log_.dump();
  EXPECT_TRUE(log_.contains("warning: SaasConnector: connection error: frame timed out")) << log_.dump();
}

// A backend FIN or RST ends the connection when it arrives, not when a
// heartbeat write fails: with heartbeats an hour apart the connector still
// reconnects, registers and re-sends its reports at once.
TEST_F(SaasConnectorTest, AClosedConnectionIsNoticedWithoutAHeartbeat) {
  SaasConnectorTimings timings;
  timings.heartbeat_interval_ms = 3'600'000;
  SaasConnector& connector = start(backend_.port(), timings);
  ASSERT_TRUE(backend_.wait_type("register", kWait));
  connector.send_session_ended("s1", "pipeline_ended", 3);
  ASSERT_TRUE(backend_.wait_type("session_ended", kWait));

  ASSERT_TRUE(backend_.drop());  // shutdown and close: a FIN
  ASSERT_TRUE(backend_.wait_type("register", kWait, 2)) << log_.dump();
  ASSERT_TRUE(backend_.wait_type("session_ended", kWait, 2)) << log_.dump();
  EXPECT_TRUE(log_.contains("warning: SaasConnector: connection error: connection closed by the backend"))
      << log_.dump();
  EXPECT_TRUE(backend_.messages_of("heartbeat").empty());
}

TEST_F(SaasConnectorTest, AResetConnectionIsNoticedWithoutAHeartbeat) {
  test::RawBackend raw;
  SaasConnectorTimings timings;
  timings.heartbeat_interval_ms = 3'600'000;
  SaasConnector& connector = start(raw.port(), timings);
  ASSERT_TRUE(raw.accept_and_upgrade());
  const auto registered = raw.read_message();
  ASSERT_TRUE(registered);
  EXPECT_EQ(json::parse(*registered)["type"], "register");
  connector.send_session_ended("s1", "pipeline_ended", 3);
  const auto ended = raw.read_message();
  ASSERT_TRUE(ended);
  EXPECT_EQ(json::parse(*ended)["type"], "session_ended");

  raw.reset();
  ASSERT_TRUE(raw.accept_and_upgrade()) << log_.dump();
  const auto again = raw.read_message();
  ASSERT_TRUE(again);
  EXPECT_EQ(json::parse(*again)["type"], "register");
  const auto resent = raw.read_message();
  ASSERT_TRUE(resent);
  EXPECT_EQ(json::parse(*resent)["type"], "session_ended");
  // Linux reports the RST as such; Wine's sockets show it as an end of stream.
  EXPECT_TRUE(log_.contains("warning: SaasConnector: connection error: connection lost: Connection reset by peer") ||
              log_.contains("warning: SaasConnector: connection error: connection closed by the backend"))
      << log_.dump();
  EXPECT_FALSE(log_.contains("heartbeat"));
}

// The agent token and the master key leave no copy behind in memory that is
// freed: the upgrade request, the upgrade answer with the frames that came
// with it, the frames read after it, and the token the connection kept.
TEST(BackendWebSocketSecrets, NoFreedBufferHoldsTheTokenOrAKey) {
  if (!test::FreedMemoryWatch::supported()) GTEST_SKIP() << "no block sizes from this C library";
  ASSERT_GE(sodium_init(), 0);
  const std::string message = std::string(R"({"type":"prepare_session","encryption_key":")") + kKey + R"("})";
  // The first message arrives with the 101 in one write, the second in
  // three fragments after it.
  const std::string after_upgrade = test::server_frame(ws::kText, message) +
                                    test::server_frame(ws::kText, message.substr(0, 30), false) +
                                    test::server_frame(ws::kContinuation, message.substr(30, 20), false) +
                                    test::server_frame(ws::kContinuation, message.substr(50));
  for (const std::string_view needle : {std::string_view(kLongToken), std::string_view(kKey)}) {
    SCOPED_TRACE(needle);
    test::RawBackend raw;
    bool served = false;
    std::thread server([&] { served = raw.accept_and_upgrade(after_upgrade) && raw.read_message().has_value(); });
    asio::io_context io;
    std::string token(kLongToken);
    bool received_both = false;
    size_t hits = 0;
    size_t frees = 0;
    {
      test::FreedMemoryWatch watch(needle);
      try {
        BackendWebSocket socket(io, "127.0.0.1", raw.port(), std::move(token), {});
        if (socket.connect_tcp() && socket.websocket_handshake()) {
          int received = 0;
          bool same = true;
          while (received < 2) {
            std::optional<std::string> text = socket.read_frame();
            if (!text) continue;
            same = same && *text == message;
            wipe(*text);  // what the connector does once it has handled it
            ++received;
          }
          socket.send_text("{}");
          received_both = same;
        }
      } catch (const std::exception&) {
        // received_both stays false
      }
      hits = watch.hits();
      frees = watch.frees();
    }
    server.join();
    EXPECT_TRUE(served);
    EXPECT_TRUE(received_both);
    EXPECT_GT(frees, 0u);
    EXPECT_EQ(hits, 0u);
  }
}

TEST(BackendWebSocketSecrets, TheConnectorWipesItsAgentToken) {
  if (!test::FreedMemoryWatch::supported()) GTEST_SKIP() << "no block sizes from this C library";
  asio::io_context io;
  SaasConnectorConfig config;
  config.host = "127.0.0.1";
  config.agent_token = kLongToken;
  size_t hits = 0;
  {
    test::FreedMemoryWatch watch(kLongToken);
    { SaasConnector connector(io, std::move(config)); }
    hits = watch.hits();
  }
  EXPECT_EQ(hits, 0u);
}

}  // namespace
}  // namespace vn::network
