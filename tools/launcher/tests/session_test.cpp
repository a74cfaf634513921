#include <gtest/gtest.h>
#include <sodium.h>

#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "network/control/control_messages.h"
#include "network/control/launcher_auth.h"
#include "network/control/session_keys.h"
#include "session.h"
#include "test_stream.h"
#include "udp_wait.h"

namespace vn::launcher {
namespace {

using asio::ip::tcp;
using asio::ip::udp;

const std::array<uint8_t, 3> kColour = {40, 180, 70};

// What the fake agent does after the auth line.
struct AgentScript {
  enum class Reply { kSessionReady, kClose, kLine };
  Reply reply = Reply::kSessionReady;
  std::string line;        // kLine: sent instead of session_ready
  bool stream = true;      // frames + one audio packet once both probes arrived
  std::string extra_line;  // sent right after session_ready
};

// An agent on loopback with free ports: replies to auth as scripted, streams
// three frames to the probes' sources, answers pings with the agent's own
// dispatcher and closes after end_session, as the real one does.
class FakeAgent {
 public:
  explicit FakeAgent(AgentScript script)
      : script_(std::move(script)),
        acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        video_(io_, udp::endpoint(asio::ip::address_v4::loopback(), 0)),
        audio_(io_, udp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeAgent() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  SessionEndpoints endpoints() const {
    SessionEndpoints e;
    e.host = "127.0.0.1";
    e.tcp_port = acceptor_.local_endpoint().port();
    e.video_probe_port = video_.local_endpoint().port();
    e.audio_probe_port = audio_.local_endpoint().port();
    return e;
  }

  // After join().
  network::AuthLineResult auth;
  std::vector<std::string> received;  // message types after the handshake
  bool saw_close = false;

 private:
  void serve() {
    acceptor_.non_blocking(true);
    tcp::socket socket(io_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    asio::error_code error;
    while (acceptor_.accept(socket, error), error == asio::error::would_block) {
      if (std::chrono::steady_clock::now() > deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (error) return;
    asio::streambuf input;
    std::string line;
    if (!read_line(socket, input, line)) return;
    auth = network::parse_auth_line(line);
    if (script_.reply == AgentScript::Reply::kClose) return;
    if (script_.reply == AgentScript::Reply::kLine) {
      asio::write(socket, asio::buffer(script_.line + "\n"), error);
      return;
    }
    const StreamKey video_key = test::key_of(0x31), audio_key = test::key_of(0x81);
    const std::vector<uint8_t> v(video_key.begin(), video_key.end()), a(audio_key.begin(), audio_key.end());
    asio::write(socket, asio::buffer(network::session_ready_line(v, a, std::vector<uint8_t>(32, 9))), error);
    if (!script_.extra_line.empty()) asio::write(socket, asio::buffer(script_.extra_line + "\n"), error);
    if (script_.stream) stream(video_key, audio_key);

    network::ControlCallbacks callbacks;
    callbacks.stats = [this](const ClientStats&) { received.push_back("stats"); };
    callbacks.command = [this](const std::string& type) { received.push_back(type); };
    const auto reply = [&](std::string pong) {
      received.push_back("ping");
      asio::write(socket, asio::buffer(pong), error);
    };
    while (read_line(socket, input, line)) {
      network::dispatch_control_line(line, callbacks, reply);
      if (!received.empty() && received.back() == "end_session") return;
    }
    saw_close = true;
  }

  static bool read_line(tcp::socket& socket, asio::streambuf& input, std::string& line) {
    asio::error_code error;
    const size_t n = asio::read_until(socket, input, '\n', error);
    if (error) return false;
    line.assign(asio::buffers_begin(input.data()), asio::buffers_begin(input.data()) + std::ptrdiff_t(n - 1));
    input.consume(n);
    return true;
  }

  void stream(const StreamKey& video_key, const StreamKey& audio_key) {
    udp::endpoint video_peer, audio_peer;
    if (!test::receive_within(video_, video_peer) || !test::receive_within(audio_, audio_peer)) return;
    test::Sealer sealer(video_key, 3000);
    for (const auto& frame : test::encode_pictures(96, 64, kColour, 0, 3)) {
      for (const auto& datagram : sealer.datagrams(frame)) video_.send_to(asio::buffer(datagram), video_peer);
    }
    network::PacketHeader header;
    header.stream_type = network::kStreamAudio;
    header.packet_count = 1;
    header.flags = network::kFlagAudio;
    test::Sealer audio_sealer(audio_key, 0);
    audio_.send_to(asio::buffer(audio_sealer.seal(header, std::vector<uint8_t>(40, 1))), audio_peer);
  }

  AgentScript script_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  udp::socket video_;
  udp::socket audio_;
  std::thread thread_;
};

Options quick_options() {
  Options options;
  options.token = "s3cret";
  options.connect_timeout_s = 20;
  options.duration_s = 30;
  return options;
}

std::filesystem::path temp_file(const char* suffix) {
  return std::filesystem::temp_directory_path() /
         ("vn_launcher_session_" + std::to_string(std::random_device{}()) + suffix);
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(LauncherSession, StreamsReportsAndEndsTheSession) {
  FakeAgent agent({});
  Options options = quick_options();
  options.duration_s = 2.0;  // long enough for one stats + ping round
  const auto json_path = temp_file(".json"), png_path = temp_file(".png");
  options.summary_json_path = json_path.string();
  options.png_path = png_path.string();
  Session session(options, agent.endpoints());
  std::ostringstream out, err;
  EXPECT_EQ(session.run(out, err), kExitOk) << err.str() << out.str();
  agent.join();

  ASSERT_EQ(agent.auth.status, network::AuthLineStatus::kAuth);
  EXPECT_EQ(agent.auth.auth.token, "s3cret");
  EXPECT_TRUE(contains(agent.received, "stats"));
  EXPECT_TRUE(contains(agent.received, "ping"));
  EXPECT_EQ(agent.received.back(), "end_session");

  const Summary& s = session.summary();
  EXPECT_EQ(s.end_reason, "duration reached");
  EXPECT_EQ(s.frames_decoded, 3u);
  EXPECT_EQ(s.audio_packets, 1u);
  EXPECT_TRUE(s.rtt_ms.has_value());
  EXPECT_EQ(s.latency_samples, 0u) << "the fake capture times are far in the past";
  EXPECT_NE(out.str().find("frames decoded"), std::string::npos);

  std::ifstream json_file(json_path);
  const nlohmann::json json = nlohmann::json::parse(json_file, nullptr, false);
  json_file.close();
  ASSERT_TRUE(json.is_object());
  EXPECT_EQ(json["frames_decoded"], 3);
  EXPECT_EQ(json["picture_width"], 96);
  EXPECT_EQ(json["png_path"], png_path.string());
  ASSERT_TRUE(json["last_picture_rgb"].is_array());
  for (size_t c = 0; c < 3; ++c) EXPECT_NEAR(json["last_picture_rgb"][c].get<double>(), kColour[c], 4.0);
  EXPECT_GT(std::filesystem::file_size(png_path), 8u);
  std::filesystem::remove(json_path);
  std::filesystem::remove(png_path);
}

TEST(LauncherSession, FrameLimitAndPlainClose) {
  FakeAgent agent({});
  Options options = quick_options();
  options.frame_limit = 1;
  options.end_session = false;
  Session session(options, agent.endpoints());
  std::ostringstream out, err;
  EXPECT_EQ(session.run(out, err), kExitOk) << err.str();
  agent.join();
  EXPECT_EQ(session.summary().end_reason, "frame limit");
  EXPECT_GE(session.summary().frames_decoded, 1u);
  EXPECT_TRUE(agent.saw_close);
  EXPECT_FALSE(contains(agent.received, "end_session"));
}

TEST(LauncherSession, ExitCodesOfFailedAndBrokenSessions) {
  ASSERT_GE(sodium_init(), 0);
  const std::string bad_key = network::session_ready_line(std::vector<uint8_t>(31, 1), std::vector<uint8_t>(32, 2),
                                                          std::vector<uint8_t>(32, 3));
  struct Case {
    const char* what;
    AgentScript script;
    double duration_s;
    int exit_code;
  };
  const std::vector<Case> cases = {
      {"closed without a word", {AgentScript::Reply::kClose, "", false, ""}, 30, kExitFailure},
      {"error code", {AgentScript::Reply::kLine, R"({"code":"AUTH_REJECTED"})", false, ""}, 30, kExitFailure},
      {"not JSON", {AgentScript::Reply::kLine, "hello", false, ""}, 30, kExitViolation},
      {"31-byte key", {AgentScript::Reply::kLine, bad_key.substr(0, bad_key.size() - 1), false, ""}, 30,
       kExitViolation},
      {"pong never asked for", {AgentScript::Reply::kSessionReady, "", true, R"({"ts":5,"type":"pong"})"}, 0.5,
       kExitViolation},
      {"no media", {AgentScript::Reply::kSessionReady, "", false, ""}, 0.1, kExitNoMedia},
  };
  for (const Case& c : cases) {
    FakeAgent agent(c.script);
    Options options = quick_options();
    options.duration_s = c.duration_s;
    Session session(options, agent.endpoints());
    std::ostringstream out, err;
    EXPECT_EQ(session.run(out, err), c.exit_code) << c.what << ": " << err.str();
    agent.join();
  }
}

TEST(LauncherSession, GivesUpConnectingAfterItsTimeout) {
  asio::io_context io;
  tcp::acceptor closed(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  SessionEndpoints endpoints;
  endpoints.host = "127.0.0.1";
  endpoints.tcp_port = closed.local_endpoint().port();
  closed.close();  // nothing listens there now
  Options options = quick_options();
  options.connect_timeout_s = 0.3;
  Session session(options, endpoints);
  std::ostringstream out, err;
  EXPECT_EQ(session.run(out, err), kExitFailure);
  EXPECT_NE(err.str().find("cannot connect"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace vn::launcher
