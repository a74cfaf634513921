// The launcher handshake over a real loopback connection: auth line checks,
// error codes, deadlines and abort, the session keys and session_ready.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "network/control/session_keys.h"
#include "support/freed_memory_watch.h"
#include "support/log_capture.h"
#include "support/tcp_test_client.h"

namespace vn::network {
namespace {

using test::ServerUnderTest;
using test::TestLauncher;
using namespace std::chrono_literals;

const std::string kToken = "launcher-token-7f3a";

std::string sha256_hex(const std::string& text) {
  if (sodium_init() < 0) return {};
  std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::array<char, crypto_hash_sha256_BYTES * 2 + 1> hex{};
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  return hex.data();
}

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string auth_line(const std::string& token) { return R"({"type":"auth","token":")" + token + "\"}\n"; }

// An auth object padded with a string key to exactly `size` bytes before the line feed.
std::string padded_auth_line(size_t size) {
  const std::string head = R"({"type":"auth","token":")" + kToken + R"(","pad":")";
  return head + std::string(size - head.size() - 2, 'p') + "\"}\n";
}

std::vector<uint8_t> base64_decode(const std::string& text) {
  std::vector<uint8_t> out(text.size());
  size_t length = 0;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return {};
  }
  out.resize(length);
  return out;
}

struct AuthCase {
  const char* name;
  friend void PrintTo(const AuthCase& c, std::ostream* os) { *os << c.name; }
  std::string expected_hash;
  std::string sent;  // bytes the launcher sends
  bool accepted;
  const char* error_code;  // after a rejection
  const char* log;         // a line the handshake must log
};

std::vector<AuthCase> auth_cases() {
  const std::string hash = sha256_hex(kToken);
  return {
      {"TokenWithoutExpectedHash", "", auth_line(kToken), true, "", "SECURITY — no session_token_sha256"},
      {"EmptyTokenWithoutExpectedHash", "", auth_line(""), false, "AUTH_REJECTED",
       "empty token and no expected hash — rejecting"},
      {"NoTokenKeyWithoutExpectedHash", "", "{\"type\":\"auth\"}\n", false, "AUTH_REJECTED",
       "empty token and no expected hash"},
      {"MatchingHash", hash, auth_line(kToken), true, "", "session token verified (SHA-256 match)"},
      {"UpperCaseHash", upper(hash), auth_line(kToken), true, "", "session token verified"},
      {"HashOf63Characters", hash.substr(0, 63), auth_line(kToken), false, "AUTH_REJECTED",
       "session token verification FAILED — rejecting client"},
      {"HashOf65Characters", hash + "0", auth_line(kToken), false, "AUTH_REJECTED", "verification FAILED"},
      {"WrongToken", hash, auth_line("someone-else"), false, "AUTH_REJECTED", "verification FAILED"},
      {"EmptyTokenAgainstHash", hash, auth_line(""), false, "AUTH_REJECTED", "verification FAILED"},
      {"CodecAsNumber", "", R"({"type":"auth","token":"t","codec":1,"width":1280,"height":720})" "\n", true, "",
       "auth request — codec=1 1280x720 @60fps 15000kbps"},
      {"CodecAsString", "", R"({"type":"auth","token":"t","codec":"h264"})" "\n", false, "AUTH_REJECTED",
       "JSON parse error: "},
      {"WidthAsBoolean", "", R"({"type":"auth","token":"t","width":true})" "\n", false, "AUTH_REJECTED",
       "JSON parse error: "},
      {"HugeBitrate", "", R"({"type":"auth","token":"t","bitrate":1e300})" "\n", false, "AUTH_REJECTED",
       "JSON parse error: "},
      {"TokenAsNumber", "", R"({"type":"auth","token":42})" "\n", false, "AUTH_REJECTED", "JSON parse error: "},
      {"TypeNotAuth", "", R"({"type":"hello","token":"t"})" "\n", false, "AUTH_REJECTED",
       "expected 'auth' message, got 'hello'"},
      {"TypeMissing", "", R"({"token":"t"})" "\n", false, "AUTH_REJECTED", "expected 'auth' message, got 'unknown'"},
      {"NotAnObject", "", "[\"auth\"]\n", false, "AUTH_REJECTED", "JSON parse error: "},
      {"BinaryGarbage", "", std::string("\x01\xff\xfe{\x00\x80garbage\n", 14), false, "AUTH_REJECTED",
       "JSON parse error: "},
      {"LineOf16383Bytes", "", padded_auth_line(16383), true, "", "handshake complete, session keys sent"},
      {"LineOf16384Bytes", "", padded_auth_line(16384), false, "AUTH_REJECTED",
       "auth message too large (16384 bytes) — rejecting"},
      {"SixteenKiBWithoutLineFeed", "", std::string(16 * 1024, 'a'), false, "AUTH_REJECTED",
       "auth message too large"},
  };
}

class AuthTable : public testing::TestWithParam<AuthCase> {};

TEST_P(AuthTable, HandshakeOutcome) {
  const AuthCase& c = GetParam();
  test::LogCapture logs;
  std::atomic<bool> abort{false};
  ServerUnderTest run({}, c.expected_hash);
  run.start_handshake([&abort] { return abort.load(); });
  TestLauncher launcher;
  ASSERT_TRUE(launcher.connect(run.port()));
  ASSERT_TRUE(launcher.send(c.sent));

  if (c.accepted) {
    const auto ready = launcher.read_line();
    ASSERT_TRUE(ready.has_value()) << logs.dump();
    EXPECT_TRUE(run.handshake_result());
    EXPECT_EQ(nlohmann::json::parse(*ready).at("type"), "session_ready");
    EXPECT_TRUE(run.server().connected());
  } else {
    // Nothing is written to a rejected launcher; it only sees the close.
    const auto received = launcher.read_until_closed();
    ASSERT_TRUE(received.has_value()) << "connection left open\n" << logs.dump();
    EXPECT_EQ(*received, "");
    // A turned-away launcher does not end the wait; the line names its code.
    const std::string turned_away = std::string("turned away (") + c.error_code + ") - still waiting for the launcher";
    EXPECT_TRUE(test::wait_until([&] { return logs.contains(turned_away); })) << logs.dump();
    abort = true;
    EXPECT_FALSE(run.handshake_result());
    EXPECT_FALSE(run.server().connected());
  }
  EXPECT_TRUE(logs.contains(c.log)) << logs.dump();
}

INSTANTIATE_TEST_SUITE_P(Cases, AuthTable, testing::ValuesIn(auth_cases()),
                         [](const testing::TestParamInfo<AuthCase>& p) { return p.param.name; });

TEST(TcpHandshake, KeepsTheLauncherValuesWithDefaults) {
  ServerUnderTest run({}, "");
  run.start_handshake();
  TestLauncher launcher;
  ASSERT_TRUE(launcher.connect(run.port()));
  ASSERT_TRUE(launcher.send(R"({"type":"auth","token":"t","fps":144,"bitrate":8000.7})" "\n"));
  ASSERT_TRUE(launcher.read_line().has_value());
  ASSERT_TRUE(run.handshake_result());
  const StreamRequest& request = run.server().stream_request();
  EXPECT_EQ(request.codec, 0);
  EXPECT_EQ(request.width, 1920);
  EXPECT_EQ(request.height, 1080);
  EXPECT_EQ(request.fps, 144);
  EXPECT_EQ(request.bitrate_kbps, 8000);
}

enum class Launcher { kAbsent, kSilent, kHalfLine, kHangsUp, kEmptyToken };

struct WaitCase {
  const char* name;
  friend void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }
  Launcher launcher;
  bool abort;  // set the abort flag once the server reached the step
  network::TcpControlTimeouts timeouts;
  const char* error_code;
  const char* log;
};

network::TcpControlTimeouts with(std::chrono::milliseconds accept_timer, std::chrono::milliseconds accept_wait,
                                 std::chrono::milliseconds auth_timer) {
  network::TcpControlTimeouts t = test::guard_timeouts();
  t.accept_timer = accept_timer;
  t.accept_wait = accept_wait;
  t.auth_timer = auth_timer;
  return t;
}

std::vector<WaitCase> wait_cases() {
  const network::TcpControlTimeouts product{};
  return {
      {"NoLauncherUntilAcceptTimer", Launcher::kAbsent, false, with(300ms, 20s, 20s), "HANDSHAKE_TIMEOUT",
       "error: TcpControlServer: accept failed: timeout"},
      {"NoLauncherUntilAcceptWait", Launcher::kAbsent, false, with(20s, 300ms, 20s), "HANDSHAKE_TIMEOUT",
       "error: TcpControlServer: accept failed: timeout"},
      // A connection that fails does not end the wait: the accept deadline
      // does, with the last connection's code.
      {"SilentLauncher", Launcher::kSilent, false, with(1500ms, 25s, 300ms), "HANDSHAKE_TIMEOUT",
       "error: TcpControlServer: auth read failed: timeout"},
      {"HalfLineThenStall", Launcher::kHalfLine, false, with(1500ms, 25s, 300ms), "HANDSHAKE_TIMEOUT",
       "error: TcpControlServer: auth read failed: timeout"},
      {"LauncherHangsUp", Launcher::kHangsUp, false, with(1500ms, 25s, 20s), "HANDSHAKE_TIMEOUT",
       "error: TcpControlServer: auth read failed: "},
      {"RejectedLauncher", Launcher::kEmptyToken, false, with(1500ms, 25s, 20s), "AUTH_REJECTED",
       "warning: TcpControlServer: connection from 127.0.0.1:"},
      {"AbortDuringAccept", Launcher::kAbsent, true, product, "SESSION_ABORTED",
       "warning: TcpControlServer: accept aborted (session ending / shutdown)"},
      {"AbortDuringAuthRead", Launcher::kSilent, true, product, "SESSION_ABORTED",
       "warning: TcpControlServer: auth read aborted (session ending / shutdown)"},
  };
}

class WaitTable : public testing::TestWithParam<WaitCase> {};

TEST_P(WaitTable, EndsWithItsCode) {
  const WaitCase& c = GetParam();
  test::LogCapture logs;
  std::atomic<bool> abort{false};
  ServerUnderTest run({}, "", c.timeouts);
  run.start_handshake([&abort] { return abort.load(); });

  TestLauncher launcher;
  if (c.launcher != Launcher::kAbsent) {
    ASSERT_TRUE(launcher.connect(run.port()));
    if (c.launcher == Launcher::kHalfLine) {
      ASSERT_TRUE(launcher.send(R"({"type":"auth","tok)"));
    }
    if (c.launcher == Launcher::kHangsUp) launcher.close();
    if (c.launcher == Launcher::kEmptyToken) {
      ASSERT_TRUE(launcher.send(auth_line("")));
    }
  }
  if (c.abort) {
    const char* reached = c.launcher == Launcher::kAbsent ? "listening on port" : "client connected from";
    ASSERT_TRUE(test::wait_until([&] { return logs.contains(reached); })) << logs.dump();
    const auto aborted_at = std::chrono::steady_clock::now();
    abort = true;
    EXPECT_FALSE(run.handshake_result());
    EXPECT_LT(std::chrono::steady_clock::now() - aborted_at, 2s);
  } else {
    EXPECT_FALSE(run.handshake_result());
  }
  EXPECT_STREQ(to_text(run.server().error_code()), c.error_code);
  EXPECT_TRUE(logs.contains(c.log)) << logs.dump();
  if (c.launcher == Launcher::kSilent || c.launcher == Launcher::kHalfLine) {
    EXPECT_EQ(launcher.read_until_closed(), std::optional<std::string>(""));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, WaitTable, testing::ValuesIn(wait_cases()),
                         [](const testing::TestParamInfo<WaitCase>& p) { return p.param.name; });

TEST(TcpHandshake, PortInUseFailsWithTheInitialCode) {
  test::LogCapture logs;
  asio::io_context io;
  asio::ip::tcp::acceptor holder(io, asio::ip::tcp::endpoint(asio::ip::address_v4::any(), 0));
  const uint16_t port = holder.local_endpoint().port();
  TcpControlServer server(io, {}, "", test::guard_timeouts());
  EXPECT_FALSE(server.handshake(port, {}));
  EXPECT_EQ(server.error_code(), SessionError::kAuthFail);
  EXPECT_TRUE(logs.contains("error: TcpControlServer: handshake failed: ")) << logs.dump();
}

// Stray connections (a port scanner, a launcher with a stale token) are
// turned away one by one; the real launcher that follows is served.
TEST(TcpHandshake, StrayConnectionsDoNotKeepTheLauncherOut) {
  test::LogCapture logs;
  ServerUnderTest run({}, sha256_hex(kToken), with(20s, 25s, 300ms));
  run.start_handshake();
  const std::string strays[] = {"", "GET / HTTP/1.0\r\n\r\n", auth_line("stale-token"), "{\"type\":\"au"};
  for (const std::string& sent : strays) {
    TestLauncher stray;
    ASSERT_TRUE(stray.connect(run.port()));
    if (!sent.empty()) {
      ASSERT_TRUE(stray.send(sent));
    } else {
      stray.close();
      continue;
    }
    // Each is closed without a word (the half line after its auth timer).
    EXPECT_EQ(stray.read_until_closed(), std::optional<std::string>("")) << sent;
  }
  TestLauncher launcher;
  ASSERT_TRUE(launcher.connect(run.port()));
  ASSERT_TRUE(launcher.send(auth_line(kToken)));
  const auto ready = launcher.read_line();
  ASSERT_TRUE(ready.has_value()) << logs.dump();
  EXPECT_TRUE(run.handshake_result());
  EXPECT_TRUE(logs.contains("still waiting for the launcher (4 so far)")) << logs.dump();
  // The stale token's line is never quoted.
  EXPECT_FALSE(logs.contains("stale-token")) << logs.dump();
}

TEST(TcpHandshake, SecondLauncherIsNotAccepted) {
  ServerUnderTest run({}, "");
  run.start_handshake();
  TestLauncher first;
  ASSERT_TRUE(first.connect(run.port()));
  ASSERT_TRUE(first.send(auth_line(kToken)));
  ASSERT_TRUE(first.read_line().has_value());
  ASSERT_TRUE(run.handshake_result());

  TestLauncher second(200ms);
  EXPECT_FALSE(second.connect(run.port()));
}

// session_ready as the launcher reads it: one compact line, three 44-character
// Base64 keys that are the server's keys.
TEST(TcpHandshake, SessionReadyCarriesTheKeysOnOneLine) {
  ServerUnderTest run({}, "");
  run.start_handshake();
  TestLauncher launcher;
  ASSERT_TRUE(launcher.connect(run.port()));
  ASSERT_TRUE(launcher.send(auth_line(kToken)));
  ASSERT_TRUE(run.handshake_result());
  run.server().stop();
  const auto received = launcher.read_until_closed();
  ASSERT_TRUE(received.has_value());

  ASSERT_FALSE(received->empty());
  EXPECT_EQ(received->find('\n'), received->size() - 1) << *received;
  EXPECT_EQ(received->find(' '), std::string::npos);
  EXPECT_EQ(received->rfind("{\"audio_key\":\"", 0), 0u) << *received;
  const auto ready = nlohmann::json::parse(*received);
  EXPECT_EQ(ready.size(), 4u);
  EXPECT_EQ(ready.at("type"), "session_ready");
  const std::pair<const char*, const std::vector<uint8_t>*> keys[] = {
      {"video_key", &run.server().video_key()},
      {"audio_key", &run.server().audio_key()},
      {"input_key", &run.server().input_key()},
  };
  for (const auto& [name, key] : keys) {
    const std::string text = ready.at(name).get<std::string>();
    EXPECT_EQ(text.size(), 44u) << name;
    EXPECT_EQ(base64_decode(text), *key) << name;
    EXPECT_EQ(key->size(), 32u) << name;
  }
}

// The line holds all three keys: built in one buffer reserved up front, so
// that no freed buffer keeps any of them (the caller wipes the line itself).
TEST(TcpHandshake, SessionReadyLineLeavesNoFreedCopyOfAKey) {
  if (!test::FreedMemoryWatch::supported()) GTEST_SKIP() << "no block sizes from this C library";
  std::vector<uint8_t> video(32, 0x11);
  std::vector<uint8_t> audio(32, 0x22);
  std::vector<uint8_t> input(32, 0x33);
  const std::string needles[] = {to_base64(video), to_base64(audio), to_base64(input)};
  for (const std::string& needle : needles) {
    size_t hits = 0;
    size_t size = 0;
    {
      test::FreedMemoryWatch watch(needle);
      std::string line = session_ready_line(video, audio, input);
      size = line.size();
      wipe(line);
      hits = watch.hits();
    }
    EXPECT_EQ(size, 202u);
    EXPECT_EQ(hits, 0u) << needle;
  }
}

TEST(TcpHandshake, KeysFromA32ByteMasterAreTheBackendsDerivation) {
  test::LogCapture logs;
  std::vector<uint8_t> master(32);
  for (size_t i = 0; i < master.size(); ++i) master[i] = static_cast<uint8_t>(0xA0 + i);
  ServerUnderTest run(master, "");
  run.start_handshake();
  TestLauncher launcher;
  ASSERT_TRUE(launcher.connect(run.port()));
  ASSERT_TRUE(launcher.send(auth_line(kToken)));
  const auto line = launcher.read_line();
  ASSERT_TRUE(line.has_value());
  ASSERT_TRUE(run.handshake_result());
  const auto ready = nlohmann::json::parse(*line);

  struct Expected {
    const char* name;
    uint64_t id;
    const char* context;
    const std::vector<uint8_t>& key;
  };
  const Expected expected[] = {
      {"video_key", 1, "vnvideo1", run.server().video_key()},
      {"audio_key", 2, "vnaudio1", run.server().audio_key()},
      {"input_key", 3, "vninput1", run.server().input_key()},
  };
  for (const Expected& e : expected) {
    std::vector<uint8_t> derived(32);
    ASSERT_EQ(crypto_kdf_derive_from_key(derived.data(), derived.size(), e.id, e.context, master.data()), 0);
    EXPECT_EQ(e.key, derived) << e.name;
    EXPECT_EQ(base64_decode(ready.at(e.name).get<std::string>()), derived) << e.name;
  }
  EXPECT_TRUE(logs.contains("info: TcpControlServer: derived 3x 32-byte session keys from SaaS master (HKDF)"));
}

class RandomKeys : public testing::TestWithParam<size_t> {};

TEST_P(RandomKeys, MasterOfAnotherLengthGivesFreshRandomKeys) {
  test::LogCapture logs;
  const std::vector<uint8_t> master(GetParam(), 0x5A);
  std::vector<std::vector<uint8_t>> seen;
  for (int session = 0; session < 2; ++session) {
    ServerUnderTest run(master, "");
    run.start_handshake();
    TestLauncher launcher;
    ASSERT_TRUE(launcher.connect(run.port()));
    ASSERT_TRUE(launcher.send(auth_line(kToken)));
    ASSERT_TRUE(launcher.read_line().has_value());
    ASSERT_TRUE(run.handshake_result());
    for (const auto* key : {&run.server().video_key(), &run.server().audio_key(), &run.server().input_key()}) {
      ASSERT_EQ(key->size(), 32u);
      for (const auto& other : seen) EXPECT_NE(*key, other);
      seen.push_back(*key);
    }
  }
  EXPECT_TRUE(logs.contains("debug: TcpControlServer: generated 3x 32-byte random session keys"));
  EXPECT_FALSE(logs.contains("derived 3x"));
}

INSTANTIATE_TEST_SUITE_P(MasterLengths, RandomKeys, testing::Values(size_t{0}, size_t{31}, size_t{33}));

}  // namespace
}  // namespace vn::network
