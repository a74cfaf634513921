#include <gtest/gtest.h>
#include <sodium.h>

#include <nlohmann/json.hpp>

#include "control_protocol.h"
#include "network/control/control_messages.h"
#include "network/control/launcher_auth.h"
#include "network/control/session_keys.h"
#include "probe.h"
#include "test_stream.h"

namespace vn::launcher {
namespace {

std::string without_line_feed(std::string line) {
  EXPECT_EQ(line.back(), '\n');
  line.pop_back();
  return line;
}

TEST(LauncherControlProtocol, TheAgentReadsOurLinesAsMeant) {
  Options options;
  options.token = std::string("t\xff", 2);  // invalid UTF-8 is replaced, never thrown on
  options.width = 2560;
  options.bitrate_kbps = 30000;
  options.udp_ip = "192.168.1.5";
  const network::AuthLineResult auth = network::parse_auth_line(without_line_feed(auth_line(options)));
  ASSERT_EQ(auth.status, network::AuthLineStatus::kAuth) << auth.detail;
  EXPECT_EQ(auth.auth.stream.width, 2560);
  EXPECT_EQ(auth.auth.stream.height, 1080);
  EXPECT_EQ(auth.auth.stream.bitrate_kbps, 30000);
  EXPECT_EQ(auth.auth.udp_ip, "192.168.1.5");

  ClientStats stats_seen;
  std::string command_seen;
  std::string reply;
  network::ControlCallbacks callbacks;
  callbacks.stats = [&](const ClientStats& s) { stats_seen = s; };
  callbacks.command = [&](const std::string& type) { command_seen = type; };
  const auto send_reply = [&](std::string line) { reply = std::move(line); };

  EXPECT_EQ(network::dispatch_control_line(without_line_feed(stats_line({12.5, 250, 59.9, NAN})), callbacks, send_reply),
            network::ControlLineResult::kStats);
  EXPECT_FLOAT_EQ(stats_seen.rtt_ms, 12.5f);
  EXPECT_FLOAT_EQ(stats_seen.packet_loss_pct, 100.0f);  // clamped to its range
  EXPECT_FLOAT_EQ(stats_seen.decoded_fps, 59.9f);
  EXPECT_FLOAT_EQ(stats_seen.jitter_ms, 0.0f);  // not finite: sent as 0

  EXPECT_EQ(network::dispatch_control_line(without_line_feed(ping_line(18446744073709551615ull)), callbacks, send_reply),
            network::ControlLineResult::kPong);
  const AgentLine pong = parse_agent_line(without_line_feed(reply));
  EXPECT_EQ(pong.kind, AgentLine::Kind::kPong);
  EXPECT_EQ(pong.ts, 18446744073709551615ull);

  for (const char* type : {"request_idr", "end_session"}) {
    EXPECT_EQ(network::dispatch_control_line(without_line_feed(command_line(type)), callbacks, send_reply),
              network::ControlLineResult::kCommand);
    EXPECT_EQ(command_seen, type);
  }
}

TEST(LauncherControlProtocol, HandshakeReplies) {
  ASSERT_GE(sodium_init(), 0);
  const std::vector<uint8_t> video(32, 0xA1), audio(32, 0xB2), input(32, 0xC3);
  const std::string ready = without_line_feed(network::session_ready_line(video, audio, input));
  const HandshakeReply good = parse_handshake_reply(ready + "\r");
  ASSERT_EQ(good.kind, HandshakeReply::Kind::kReady) << good.detail;
  EXPECT_EQ(std::vector<uint8_t>(good.keys.video.begin(), good.keys.video.end()), video);
  EXPECT_EQ(std::vector<uint8_t>(good.keys.audio.begin(), good.keys.audio.end()), audio);
  EXPECT_EQ(std::vector<uint8_t>(good.keys.input.begin(), good.keys.input.end()), input);

  nlohmann::json base = nlohmann::json::parse(ready);
  auto with = [&](const char* key, nlohmann::json value) {
    nlohmann::json copy = base;
    if (value.is_null()) copy.erase(key);
    else copy[key] = value;
    return copy.dump();
  };
  const std::string key43 = base["video_key"].get<std::string>().substr(0, 43);
  struct Case {
    std::string line;
    HandshakeReply::Kind kind;
    std::string detail_part;
  };
  const std::vector<Case> cases = {
      {R"({"type":"error","code":"AUTH_REJECTED"})", HandshakeReply::Kind::kAgentError, "AUTH_REJECTED"},
      {R"({"error":"busy"})", HandshakeReply::Kind::kAgentError, "busy"},
      {"", HandshakeReply::Kind::kInvalid, "not a JSON object"},
      {"session_ready", HandshakeReply::Kind::kInvalid, "not a JSON object"},
      {"[1,2]", HandshakeReply::Kind::kInvalid, "not a JSON object"},
      {with("type", "pong"), HandshakeReply::Kind::kInvalid, "type"},
      {with("input_key", nullptr), HandshakeReply::Kind::kInvalid, "input_key missing"},
      {with("audio_key", 5), HandshakeReply::Kind::kInvalid, "audio_key missing"},
      {with("video_key", key43), HandshakeReply::Kind::kInvalid, "video_key is not Base64"},
      {with("video_key", key43 + "!"), HandshakeReply::Kind::kInvalid, "video_key is not Base64"},
      // 44 characters that decode to 31 bytes.
      {with("video_key", std::string(40, 'A') + "AA=="), HandshakeReply::Kind::kInvalid, "video_key is not Base64"},
  };
  for (const Case& c : cases) {
    const HandshakeReply reply = parse_handshake_reply(c.line);
    EXPECT_EQ(reply.kind, c.kind) << c.line;
    EXPECT_NE(reply.detail.find(c.detail_part), std::string::npos) << c.line << " -> " << reply.detail;
  }
}

TEST(LauncherControlProtocol, AgentLinesAfterTheHandshake) {
  struct Case {
    std::string line;
    AgentLine::Kind kind;
    uint64_t ts;
  };
  const std::vector<Case> cases = {
      {R"({"ts":0,"type":"pong"})", AgentLine::Kind::kPong, 0},
      {R"({"ts":123,"type":"pong"})", AgentLine::Kind::kPong, 123},
      {R"({"ts":-1,"type":"pong"})", AgentLine::Kind::kBadPong, 0},
      {R"({"ts":1.5,"type":"pong"})", AgentLine::Kind::kBadPong, 0},
      {R"({"ts":"1","type":"pong"})", AgentLine::Kind::kBadPong, 0},
      {R"({"type":"pong"})", AgentLine::Kind::kBadPong, 0},
      {R"({"type":"news","x":1})", AgentLine::Kind::kOther, 0},
      {R"({})", AgentLine::Kind::kOther, 0},
      {"", AgentLine::Kind::kNotObject, 0},
      {"\"pong\"", AgentLine::Kind::kNotObject, 0},
      {R"({"type":"pong")", AgentLine::Kind::kNotObject, 0},
  };
  for (const Case& c : cases) {
    const AgentLine line = parse_agent_line(c.line);
    EXPECT_EQ(line.kind, c.kind) << c.line;
    EXPECT_EQ(line.ts, c.ts) << c.line;
  }
}

TEST(LauncherControlProtocol, PongsAnswerPingsInOrder) {
  PingTracker pings(/*capacity=*/3);
  for (uint64_t ts : {10u, 20u, 30u, 40u}) pings.sent(ts);  // 10 is forgotten
  EXPECT_FALSE(pings.answer(10));
  EXPECT_TRUE(pings.answer(30));
  EXPECT_FALSE(pings.answer(20)) << "older than an answered ping: its reply was lost";
  EXPECT_FALSE(pings.answer(30)) << "answered already";
  EXPECT_FALSE(pings.answer(99));
  EXPECT_TRUE(pings.answer(40));
  EXPECT_EQ(pings.waiting(), 0u);
}

TEST(LauncherProbe, MagicThenTheFirstEightKeyBytes) {
  const StreamKey key = test::key_of(0x40);
  const auto probe = make_probe(key);
  EXPECT_EQ(std::vector<uint8_t>(probe.begin(), probe.end()),
            (std::vector<uint8_t>{'V', 'N', 'P', '1', 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}));
}

}  // namespace
}  // namespace vn::launcher
