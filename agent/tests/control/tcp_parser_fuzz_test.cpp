// Randomised robustness run of the launcher line parsers: thousands of
// garbage, mutated and well-formed lines through the same functions the server
// uses. Every line must come back with the result class its construction
// predicts, and nothing may crash (ASan/UBSan builds catch the rest).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "network/control/control_messages.h"
#include "network/control/launcher_auth.h"
#include "network/control/private_address.h"
#include "support/log_capture.h"

namespace vn::network {
namespace {

constexpr int kRounds = 4000;

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool coin() { return below(2) == 0; }

  // Random bytes, never a line feed (the server splits lines on it).
  std::string bytes(size_t max_size) {
    std::string out(below(max_size + 1), '\0');
    for (char& c : out) {
      do c = static_cast<char>(below(256)); while (c == '\n');
    }
    return out;
  }

  // A JSON value of a random kind, including ones no field accepts.
  nlohmann::json value() {
    switch (below(9)) {
      case 0: return nullptr;
      case 1: return coin();
      case 2: return static_cast<int64_t>(rng_()) - (int64_t{1} << 31);
      case 3: return static_cast<uint64_t>(rng_()) << 32 | rng_();
      case 4: return std::uniform_real_distribution<double>(-1e300, 1e300)(rng_);
      case 5: return std::uniform_real_distribution<double>(-100, 100)(rng_);
      case 6: return nlohmann::json::array({1, "x"});
      case 7: return nlohmann::json::object({{"k", 1}});
      default: return text();
    }
  }

  // A well-typed, in-range value for an i32 / u64 / f32 field.
  nlohmann::json good_i32() { return coin() ? nlohmann::json(static_cast<int32_t>(rng_())) : nlohmann::json(below(100000) + 0.5); }
  nlohmann::json good_u64() { return static_cast<uint64_t>(rng_()) << 32 | rng_(); }

  std::string text() {
    std::string out(below(12), 'a');
    for (char& c : out) c = static_cast<char>('a' + below(26));
    return out;
  }

 private:
  std::mt19937 rng_;
};

bool fits_i32(const nlohmann::json& v) {
  if (!v.is_number()) return false;
  if (v.is_number_unsigned()) return v.get<uint64_t>() <= INT32_MAX;
  if (v.is_number_integer()) return v.get<int64_t>() >= INT32_MIN && v.get<int64_t>() <= INT32_MAX;
  const double d = v.get<double>();
  return d > -2147483649.0 && d < 2147483648.0;
}

TEST(ParserFuzz, AuthLinesGetTheirResultClass) {
  Generator g(20240611);
  const char* const int_keys[] = {"codec", "width", "height", "fps", "bitrate"};
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const size_t kind = g.below(5);
    if (kind == 0) {  // garbage that is not JSON
      std::string line = g.bytes(64);
      if (nlohmann::json::accept(line)) continue;
      EXPECT_EQ(parse_auth_line(line).status, AuthLineStatus::kJsonError);
    } else if (kind == 1) {  // a well-formed auth message
      nlohmann::json m = {{"type", "auth"}};
      if (g.coin()) m["token"] = g.text();
      if (g.coin()) m["udp_ip"] = g.text();
      for (const char* key : int_keys) {
        if (g.coin()) m[key] = g.good_i32();
      }
      const AuthLineResult r = parse_auth_line(m.dump());
      ASSERT_EQ(r.status, AuthLineStatus::kAuth) << m.dump();
      EXPECT_EQ(r.auth.token, m.value("token", std::string()));
      EXPECT_EQ(r.auth.stream.fps, m.contains("fps") ? static_cast<int32_t>(m["fps"].get<double>()) : 60);
    } else if (kind == 2) {  // an auth message with one key of a random kind
      nlohmann::json m = {{"type", "auth"}, {"token", "t"}};
      const bool string_key = g.coin();
      const char* key = string_key ? (g.coin() ? "token" : "udp_ip") : int_keys[g.below(5)];
      const nlohmann::json v = g.value();
      m[key] = v;
      const bool fine = string_key ? v.is_string() : fits_i32(v);
      EXPECT_EQ(parse_auth_line(m.dump()).status, fine ? AuthLineStatus::kAuth : AuthLineStatus::kJsonError)
          << m.dump();
    } else if (kind == 3) {  // a well-formed object of another type
      nlohmann::json m = {{"type", g.text() + "x"}, {"token", g.value()}};
      EXPECT_EQ(parse_auth_line(m.dump()).status, AuthLineStatus::kNotAuth) << m.dump();
    } else {  // a valid message cut short
      const std::string whole = nlohmann::json{{"type", "auth"}, {"token", g.text()}, {"fps", 30}}.dump();
      EXPECT_EQ(parse_auth_line(whole.substr(0, g.below(whole.size()))).status, AuthLineStatus::kJsonError);
    }
  }
}

TEST(ParserFuzz, ControlLinesGetTheirResultClass) {
  test::LogCapture quiet;  // thousands of dropped-line messages
  Generator g(777);
  int calls = 0;
  ControlCallbacks callbacks;
  callbacks.stats = [&](const ClientStats&) { ++calls; };
  callbacks.command = [&](const std::string&) { ++calls; };
  callbacks.settings = [&](const SettingsChange&) { ++calls; };
  std::vector<std::string> replies;
  auto reply = [&](std::string r) { replies.push_back(std::move(r)); };
  const char* const settings_keys[] = {"bitrate", "fps", "width", "height"};
  const char* const stats_keys[] = {"rtt_ms", "packet_loss_pct", "decoded_fps", "jitter_ms"};

  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    calls = 0;
    replies.clear();
    const size_t kind = g.below(5);
    ControlLineResult expected{};
    std::string line;
    if (kind == 0) {  // garbage
      line = g.bytes(g.coin() ? 64 : 9000);
      if (line.empty()) {
        expected = ControlLineResult::kEmpty;
      } else if (line.size() > kMaxControlMessageBytes) {
        expected = ControlLineResult::kOversized;
      } else if (!nlohmann::json::accept(line)) {
        expected = ControlLineResult::kMalformed;
      } else {
        continue;
      }
    } else if (kind == 1) {  // set_settings with one key of a random kind
      const nlohmann::json v = g.value();
      line = nlohmann::json{{"type", "set_settings"}, {settings_keys[g.below(4)], v}}.dump();
      expected = fits_i32(v) ? ControlLineResult::kSettings : ControlLineResult::kMalformed;
    } else if (kind == 2) {  // stats with one key of a random kind
      const nlohmann::json v = g.value();
      line = nlohmann::json{{"type", "stats"}, {stats_keys[g.below(4)], v}}.dump();
      expected = v.is_number() && std::abs(v.get<double>()) <= 3.4028234663852886e38 ? ControlLineResult::kStats
                                                                                       : ControlLineResult::kMalformed;
    } else if (kind == 3) {  // ping with a valid ts: echoed exactly
      const nlohmann::json ts = g.good_u64();
      line = nlohmann::json{{"type", "ping"}, {"ts", ts}, {"extra", g.value()}}.dump();
      ASSERT_EQ(dispatch_control_line(line, callbacks, reply), ControlLineResult::kPong) << line;
      ASSERT_EQ(replies.size(), 1u);
      const std::string pong = nlohmann::json{{"ts", ts}, {"type", "pong"}}.dump() + "\n";
      EXPECT_EQ(replies[0], pong);
      EXPECT_EQ(calls, 0);
      continue;
    } else {  // a random type value
      const nlohmann::json type = g.value();
      line = nlohmann::json{{"type", type}}.dump();
      if (!type.is_string()) {
        expected = ControlLineResult::kMalformed;
      } else if (type.get<std::string>().empty()) {
        expected = ControlLineResult::kUnhandled;
      } else {
        expected = ControlLineResult::kCommand;
      }
    }
    const ControlLineResult got = dispatch_control_line(line, callbacks, reply);
    EXPECT_EQ(got, expected) << line.substr(0, 200);
    const bool called = got == ControlLineResult::kStats || got == ControlLineResult::kSettings ||
                        got == ControlLineResult::kCommand;
    EXPECT_EQ(calls, called ? 1 : 0);
    EXPECT_TRUE(replies.empty());
  }
}

TEST(ParserFuzz, AddressTextNeverConfusesTheTest) {
  Generator g(99);
  for (int round = 0; round < kRounds; ++round) {
    const int a = static_cast<int>(g.below(300));
    const int b = static_cast<int>(g.below(300));
    const std::string quad = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(g.below(256)) + "." +
                             std::to_string(g.below(256));
    const bool valid = a <= 255 && b <= 255;
    const bool expected =
        valid && (a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) || a == 127);
    EXPECT_EQ(is_private_address(quad), expected) << quad;
    const std::string garbage = g.bytes(20);
    is_private_address(garbage);
    is_private_address(quad + garbage);
  }
}

}  // namespace
}  // namespace vn::network
