#include "network/backend/backend_messages.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "network/backend/backend_outbox.h"
#include "support/log_capture.h"

namespace vn::network {
namespace {

using nlohmann::json;

TEST(BackendMessages, OutboundObjects) {
  BackendRegistration registration;
  registration.gpu_model = "Radeon Test";
  registration.gpu_vram_mb = 8192;
  registration.cpu_model = "Test CPU";
  registration.ram_mb = 32768;
  registration.os_version = "Windows 10.0.19045";
  registration.port_base = 48002;
  EXPECT_EQ(json::parse(register_message(registration)),
            json::parse(R"({"type":"register","agent_version":"1.0.0","gpu_model":"Radeon Test","gpu_vram_mb":8192,
              "cpu_model":"Test CPU","ram_mb":32768,"os_version":"Windows 10.0.19045","port_base":48002,
              "supported_codecs":["h264","hevc"],"max_resolution":"1920x1080","max_fps":60})"));

  EXPECT_EQ(json::parse(heartbeat_message({12, 34, 5678})),
            json::parse(R"({"type":"heartbeat","status":"online","cpu_pct":12,"gpu_pct":34,"ram_mb_free":5678})"));
  EXPECT_EQ(json::parse(session_ready_message("s1", "203.0.113.7", 47998, 47999, 48000)),
            json::parse(R"({"type":"session_ready","session_id":"s1","public_ip":"203.0.113.7",
              "ports":{"video":47998,"audio":47999,"input":48000}})"));
  EXPECT_EQ(json::parse(session_ended_message("s1", "pipeline_ended", 42)),
            json::parse(R"({"type":"session_ended","session_id":"s1","reason":"pipeline_ended","duration_sec":42})"));
  EXPECT_EQ(json::parse(error_message(SessionError::kAuthRejected, "TCP handshake failed", "s1")),
            json::parse(R"({"type":"error","code":"AUTH_REJECTED","message":"TCP handshake failed","session_id":"s1"})"));
  EXPECT_EQ(json::parse(error_message(SessionError::kHandshakeTimeout, "TCP handshake failed", "")),
            json::parse(R"({"type":"error","code":"HANDSHAKE_TIMEOUT","message":"TCP handshake failed"})"));
  EXPECT_EQ(pong_message(), R"({"type":"pong"})");

  // Compact, and never throwing on bytes that are not UTF-8.
  EXPECT_EQ(session_ended_message("s\xff", "r", 0).find(' '), std::string::npos);
}

TEST(PrepareSession, OnlyTheIdGivesTheDefaultsAndTheDowngradeWarning) {
  test::LogCapture log;
  const PrepareSessionParams params = parse_prepare_session(json::parse(R"({"type":"prepare_session","session_id":"s1"})"));
  EXPECT_EQ(params.session_id, "s1");
  EXPECT_EQ(params.client_id, "");
  EXPECT_EQ(params.max_duration_sec, 3600u);
  EXPECT_EQ(params.codec, "h264");
  EXPECT_EQ(params.resolution, "1920x1080");
  EXPECT_EQ(params.max_fps, 60u);
  EXPECT_EQ(params.bitrate_kbps, 15000u);
  EXPECT_FALSE(params.hide_desktop);
  EXPECT_FALSE(params.launch_steam);
  EXPECT_TRUE(params.encryption_key.empty());
  EXPECT_TRUE(log.contains("warning: SaasConnector: prepare_session has no session_token_sha256 — TCP auth will fall "
                           "back to non-empty-token check (downgrade)"));
}

TEST(PrepareSession, EveryKeyIsRead) {
  ASSERT_GE(sodium_init(), 0);
  test::LogCapture log;
  const std::string key_b64 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // bytes 0..31
  const PrepareSessionParams params = parse_prepare_session(json{
      {"type", "prepare_session"},
      {"session_id", "s2"},
      {"client_id", "c9"},
      {"max_duration_sec", 120},
      {"session_token_sha256", std::string(64, 'a')},
      {"encryption_key", key_b64},
      {"constraints", {{"codec", "hevc"}, {"resolution", "1280x720"}, {"max_fps", 30}, {"bitrate_kbps", 8000}}},
      {"session_isolation", {{"hide_desktop", true}, {"launch_steam", true}, {"steam_app_id", "570"}}},
  });
  EXPECT_EQ(params.client_id, "c9");
  EXPECT_EQ(params.max_duration_sec, 120u);
  EXPECT_EQ(params.session_token_sha256, std::string(64, 'a'));
  ASSERT_EQ(params.encryption_key.size(), 32u);
  for (size_t i = 0; i < 32; ++i) EXPECT_EQ(params.encryption_key[i], i);
  EXPECT_EQ(params.codec, "hevc");
  EXPECT_EQ(params.resolution, "1280x720");
  EXPECT_EQ(params.max_fps, 30u);
  EXPECT_EQ(params.bitrate_kbps, 8000u);
  EXPECT_TRUE(params.hide_desktop);
  EXPECT_TRUE(params.launch_steam);
  EXPECT_EQ(params.steam_app_id, "570");
  EXPECT_FALSE(log.contains("downgrade"));
}

TEST(PrepareSession, NestedObjectsOfAnotherTypeKeepTheirDefaults) {
  const PrepareSessionParams params = parse_prepare_session(
      json::parse(R"({"session_id":"s3","session_token_sha256":"ab","constraints":"1280x720","session_isolation":[true]})"));
  EXPECT_EQ(params.codec, "h264");
  EXPECT_EQ(params.resolution, "1920x1080");
  EXPECT_EQ(params.max_fps, 60u);
  EXPECT_EQ(params.bitrate_kbps, 15000u);
  EXPECT_FALSE(params.hide_desktop);
}

TEST(PrepareSession, KeysOfTheWrongTypeOrRangeRejectTheMessage) {
  for (const char* text : {
           R"({"session_id":7})",
           R"({"max_duration_sec":"60"})",
           R"({"max_duration_sec":-1})",
           R"({"max_duration_sec":4294967296})",
           R"({"encryption_key":123})",
           R"({"constraints":{"max_fps":"60"}})",
           R"({"constraints":{"bitrate_kbps":true}})",
           R"({"session_isolation":{"hide_desktop":1}})",
           R"({"session_isolation":{"steam_app_id":570}})",
       }) {
    EXPECT_THROW(parse_prepare_session(json::parse(text)), std::exception) << text;
  }
}

TEST(PrepareSession, InvalidBase64KeyIsLeftEmpty) {
  ASSERT_GE(sodium_init(), 0);
  for (const char* key : {"not base64!", "AAECAw", "AAEC AwQ=", "AAECAw==x"}) {
    test::LogCapture log;
    const PrepareSessionParams params =
        parse_prepare_session(json{{"session_id", "s"}, {"session_token_sha256", "ab"}, {"encryption_key", key}});
    EXPECT_TRUE(params.encryption_key.empty()) << key;
    EXPECT_TRUE(log.contains("warning: SaasConnector: Failed to decode encryption_key: ")) << key;
    EXPECT_FALSE(log.contains(key)) << "the key text must not reach the log";
  }
}

TEST(PrepareSession, SecretFieldsAreWipedInThePlace) {
  json message = {{"type", "prepare_session"},
                  {"encryption_key", "c2VjcmV0S2V5LWxvbmdlci10aGFuLXNzbw=="},
                  {"session_token_sha256", std::string(64, 'a')},
                  {"session_id", "s"}};
  const char* key = message["encryption_key"].get_ref<const std::string&>().data();
  const size_t key_size = message["encryption_key"].get_ref<const std::string&>().size();
  wipe_secret_fields(message);
  EXPECT_EQ(message["encryption_key"], "");
  EXPECT_EQ(message["session_token_sha256"], "");
  EXPECT_EQ(message["session_id"], "s");
  // The same buffer, zeroed (a wipe, not a new empty string).
  EXPECT_EQ(message["encryption_key"].get_ref<const std::string&>().data(), key);
  EXPECT_EQ(std::string(key, key_size), std::string(key_size, '\0'));

  // Other shapes are left alone.
  json array = json::array({"x"});
  wipe_secret_fields(array);
  json number_key = {{"encryption_key", 5}};
  wipe_secret_fields(number_key);
  EXPECT_EQ(number_key["encryption_key"], 5);
}

TEST(BackendOutbox, TerminalMapKeepsTheEightLargestKeys) {
  BackendOutbox outbox;
  for (int i = 1; i <= 9; ++i) outbox.put_terminal("s" + std::to_string(i), "ended " + std::to_string(i));
  auto entries = outbox.terminal_messages();
  ASSERT_EQ(entries.size(), 8u);
  EXPECT_EQ(entries.front().first, "s2");
  EXPECT_EQ(entries.back().first, "s9");

  // An existing key is overwritten without evicting anything.
  outbox.put_terminal("s5", "again");
  entries = outbox.terminal_messages();
  ASSERT_EQ(entries.size(), 8u);
  EXPECT_EQ(entries.front().first, "s2");
  EXPECT_EQ(entries[3].second, "again");

  // A new key that sorts first evicts the then-smallest one ("s2"), then takes its place.
  outbox.put_terminal("a#err", "error");
  entries = outbox.terminal_messages();
  EXPECT_EQ(entries.front().first, "a#err");
  EXPECT_EQ(entries[1].first, "s3");
}

TEST(BackendOutbox, QueueAndReadyCache) {
  BackendOutbox outbox;
  outbox.queue("a");
  outbox.queue("b");
  EXPECT_EQ(outbox.take_queued(), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(outbox.take_queued().empty());

  EXPECT_FALSE(outbox.ready());
  outbox.set_ready("r1");
  outbox.set_ready("r2");
  EXPECT_EQ(outbox.ready(), "r2");
  outbox.clear_ready();
  EXPECT_FALSE(outbox.ready());
}

// A connection's first batch: what was queued while down goes, register
// comes first, then the cached session_ready and terminal messages; what is
// queued afterwards follows them.
TEST(BackendOutbox, BeginConnectionPutsRegisterFirst) {
  BackendOutbox outbox;
  outbox.queue("stale 1");
  outbox.queue("stale 2");
  const BackendOutbox::ConnectionStart bare = outbox.begin_connection("register 1");
  EXPECT_EQ(bare.discarded, 2u);
  EXPECT_FALSE(bare.ready_resent);
  EXPECT_TRUE(bare.terminal_keys.empty());
  EXPECT_EQ(outbox.take_queued(), (std::vector<std::string>{"register 1"}));

  outbox.set_ready("ready");
  outbox.put_terminal("s2", "ended 2");
  outbox.put_terminal("s1#err", "error 1");
  outbox.queue("stale 3");
  const BackendOutbox::ConnectionStart full = outbox.begin_connection("register 2");
  outbox.queue("later");
  EXPECT_EQ(full.discarded, 1u);
  EXPECT_TRUE(full.ready_resent);
  EXPECT_EQ(full.terminal_keys, (std::vector<std::string>{"s1#err", "s2"}));
  EXPECT_EQ(outbox.take_queued(),
            (std::vector<std::string>{"register 2", "ready", "error 1", "ended 2", "later"}));
  // The caches stay for the next connection.
  EXPECT_EQ(outbox.ready(), "ready");
  EXPECT_EQ(outbox.terminal_messages().size(), 2u);
}

}  // namespace
}  // namespace vn::network
