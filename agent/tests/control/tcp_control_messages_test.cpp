// One control line through the dispatch the server uses: which callback it
// reaches, with which values, and what is dropped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/control/control_messages.h"
#include "support/log_capture.h"

namespace vn::network {
namespace {

// Every callback and reply as one text event, e.g. "command:request_idr".
struct Recorder {
  std::vector<std::string> events;

  ControlCallbacks callbacks(bool stats = true, bool command = true, bool settings = true) {
    ControlCallbacks c;
    if (stats) {
      c.stats = [this](const ClientStats& s) {
        events.push_back("stats:" + std::to_string(s.rtt_ms) + "," + std::to_string(s.packet_loss_pct) + "," +
                         std::to_string(s.decoded_fps) + "," + std::to_string(s.jitter_ms));
      };
    }
    if (command) c.command = [this](const std::string& type) { events.push_back("command:" + type); };
    if (settings) {
      c.settings = [this](const SettingsChange& s) {
        events.push_back("settings:" + std::to_string(s.bitrate_kbps) + "," + std::to_string(s.fps) + "," +
                         std::to_string(s.width) + "," + std::to_string(s.height));
      };
    }
    return c;
  }

  ControlLineResult dispatch(const std::string& line, const ControlCallbacks& c) {
    return dispatch_control_line(line, c, [this](std::string reply) { events.push_back("reply:" + reply); });
  }
};

struct LineCase {
  const char* name;
  friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
  std::string line;
  ControlLineResult result;
  std::string event;  // empty: nothing is called
};

class LineTable : public testing::TestWithParam<LineCase> {};

TEST_P(LineTable, AllCallbacksSet) {
  const LineCase& c = GetParam();
  Recorder r;
  EXPECT_EQ(r.dispatch(c.line, r.callbacks()), c.result);
  if (c.event.empty()) {
    EXPECT_TRUE(r.events.empty()) << r.events.front();
  } else {
    EXPECT_EQ(r.events, std::vector<std::string>{c.event});
  }
}

using R = ControlLineResult;
INSTANTIATE_TEST_SUITE_P(
    Table, LineTable,
    testing::Values(
        LineCase{"Stats", R"({"type":"stats","rtt_ms":12.5,"packet_loss_pct":1.25,"decoded_fps":59,"jitter_ms":3})",
                 R::kStats, "stats:12.500000,1.250000,59.000000,3.000000"},
        LineCase{"StatsDefaults", R"({"type":"stats"})", R::kStats, "stats:0.000000,0.000000,0.000000,0.000000"},
        LineCase{"Ping", R"({"type":"ping","ts":123})", R::kPong, "reply:{\"ts\":123,\"type\":\"pong\"}\n"},
        LineCase{"PingLargestTs", R"({"type":"ping","ts":18446744073709551615})", R::kPong,
                 "reply:{\"ts\":18446744073709551615,\"type\":\"pong\"}\n"},
        LineCase{"PingFloatTruncated", R"({"type":"ping","ts":7.9})", R::kPong, "reply:{\"ts\":7,\"type\":\"pong\"}\n"},
        LineCase{"PingWithoutTs", R"({"type":"ping"})", R::kPong, "reply:{\"ts\":0,\"type\":\"pong\"}\n"},
        LineCase{"RequestIdr", R"({"type":"request_idr"})", R::kCommand, "command:request_idr"},
        LineCase{"EndSession", R"({"type":"end_session","reason":"user"})", R::kCommand, "command:end_session"},
        LineCase{"SettingsOnlyBitrate", R"({"type":"set_settings","bitrate":8000})", R::kSettings,
                 "settings:8000,0,0,0"},
        LineCase{"SettingsAll", R"({"type":"set_settings","bitrate":20000,"fps":120,"width":2560,"height":1440})",
                 R::kSettings, "settings:20000,120,2560,1440"},
        LineCase{"OtherType", R"({"type":"toggle_overlay"})", R::kCommand, "command:toggle_overlay"},
        LineCase{"EmptyType", R"({"type":""})", R::kUnhandled, ""},
        LineCase{"NoType", R"({"rtt_ms":1})", R::kUnhandled, ""},
        LineCase{"EmptyLine", "", R::kEmpty, ""},
        LineCase{"NotJson", "hello", R::kMalformed, ""},
        LineCase{"NotAnObject", R"(["ping"])", R::kMalformed, ""},
        LineCase{"TypeNotAString", R"({"type":7})", R::kMalformed, ""},
        LineCase{"StatsFieldAsString", R"({"type":"stats","rtt_ms":"12"})", R::kMalformed, ""},
        LineCase{"StatsBeyondFloat", R"({"type":"stats","jitter_ms":1e39})", R::kMalformed, ""},
        LineCase{"NegativeTs", R"({"type":"ping","ts":-1})", R::kMalformed, ""},
        LineCase{"TsBeyond64Bits", R"({"type":"ping","ts":1e20})", R::kMalformed, ""},
        LineCase{"SettingsBeyond32Bits", R"({"type":"set_settings","bitrate":4294967296})", R::kMalformed, ""},
        LineCase{"SettingsAsBoolean", R"({"type":"set_settings","fps":true})", R::kMalformed, ""},
        LineCase{"NumberOverflow", R"({"type":"set_settings","fps":1e400})", R::kMalformed, ""},
        LineCase{"Truncated", R"({"type":"request_idr")", R::kMalformed, ""}),
    [](const testing::TestParamInfo<LineCase>& p) { return p.param.name; });

struct FallbackCase {
  const char* name;
  friend void PrintTo(const FallbackCase& c, std::ostream* os) { *os << c.name; }
  bool stats, command, settings;  // which callbacks are set
  std::string line;
  ControlLineResult result;
  std::string event;
};

class Fallback : public testing::TestWithParam<FallbackCase> {};

TEST_P(Fallback, MissingCallbackFallsToTheCommandCallback) {
  const FallbackCase& c = GetParam();
  Recorder r;
  EXPECT_EQ(r.dispatch(c.line, r.callbacks(c.stats, c.command, c.settings)), c.result);
  if (c.event.empty()) {
    EXPECT_TRUE(r.events.empty());
  } else {
    EXPECT_EQ(r.events, std::vector<std::string>{c.event});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Fallback,
    testing::Values(
        FallbackCase{"StatsWithoutStatsCallback", false, true, true, R"({"type":"stats","rtt_ms":"not read"})",
                     R::kCommand, "command:stats"},
        FallbackCase{"SettingsWithoutSettingsCallback", true, true, false, R"({"type":"set_settings","fps":30})",
                     R::kCommand, "command:set_settings"},
        FallbackCase{"StatsWithNoCallbackAtAll", false, false, false, R"({"type":"stats"})", R::kUnhandled, ""},
        FallbackCase{"IdrWithoutCommandCallback", true, false, true, R"({"type":"request_idr"})", R::kUnhandled, ""},
        FallbackCase{"PingNeedsNoCallback", false, false, false, R"({"type":"ping","ts":5})", R::kPong,
                     "reply:{\"ts\":5,\"type\":\"pong\"}\n"}),
    [](const testing::TestParamInfo<FallbackCase>& p) { return p.param.name; });

TEST(ControlLine, SizeLimitAndLogs) {
  test::LogCapture logs;
  Recorder r;
  const std::string head = R"({"type":"request_idr","pad":")";
  auto sized = [&](size_t size) { return head + std::string(size - head.size() - 2, 'x') + "\"}"; };

  EXPECT_EQ(r.dispatch(sized(8192), r.callbacks()), R::kCommand);
  EXPECT_EQ(r.dispatch(sized(8193), r.callbacks()), R::kOversized);
  EXPECT_EQ(r.events, std::vector<std::string>{"command:request_idr"});

  EXPECT_EQ(r.dispatch("{not json", r.callbacks()), R::kMalformed);
  EXPECT_TRUE(logs.contains("trace: TcpControlServer: malformed message: ")) << logs.dump();
}

}  // namespace
}  // namespace vn::network
