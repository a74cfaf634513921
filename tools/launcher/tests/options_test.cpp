#include <gtest/gtest.h>

#include <functional>

#include "options.h"

namespace vn::launcher {
namespace {

TEST(LauncherOptions, DefaultsWithoutArguments) {
  const ParseResult result = parse_options({});
  ASSERT_TRUE(result.options);
  const Options& o = *result.options;
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port_base, 47998);
  EXPECT_EQ(o.token, "launcher");
  EXPECT_EQ(o.duration_s, 5.0);
  EXPECT_EQ(o.connect_timeout_s, 10.0);
  EXPECT_EQ(o.frame_limit, 0u);
  EXPECT_TRUE(o.end_session);
}

TEST(LauncherOptions, AcceptsGoodValuesInBothForms) {
  struct Case {
    std::vector<std::string> args;
    std::function<bool(const Options&)> check;
  };
  const std::vector<Case> cases = {
      {{"--host", "10.1.2.3"}, [](const Options& o) { return o.host == "10.1.2.3"; }},
      {{"--port-base=1"}, [](const Options& o) { return o.port_base == 1; }},
      {{"--port-base", "65532"}, [](const Options& o) { return o.port_base == 65532; }},
      {{"--token="}, [](const Options& o) { return o.token.empty(); }},
      {{"--token", "a=b"}, [](const Options& o) { return o.token == "a=b"; }},
      {{"--udp-ip", "192.168.1.5"}, [](const Options& o) { return o.udp_ip == "192.168.1.5"; }},
      {{"--width", "2560", "--height", "1440", "--fps", "120", "--bitrate", "30000", "--codec", "1"},
       [](const Options& o) {
         return o.width == 2560 && o.height == 1440 && o.fps == 120 && o.bitrate_kbps == 30000 && o.codec == 1;
       }},
      {{"--duration", "0.25"}, [](const Options& o) { return o.duration_s == 0.25; }},
      {{"--frames", "30"}, [](const Options& o) { return o.frame_limit == 30; }},
      {{"--drop-pct", "100", "--seed", "18446744073709551615"},
       [](const Options& o) { return o.drop_pct == 100.0 && o.seed == UINT64_MAX; }},
      {{"--save-png", "a.png", "--save-h264", "a.h264", "--summary-json", "s.json"},
       [](const Options& o) { return o.png_path == "a.png" && o.h264_path == "a.h264" && o.summary_json_path == "s.json"; }},
      {{"--no-end-session", "--connect-timeout", "0"},
       [](const Options& o) { return !o.end_session && o.connect_timeout_s == 0.0; }},
      {{"--fps", "30", "--fps", "50"}, [](const Options& o) { return o.fps == 50; }},  // the last wins
  };
  for (const Case& c : cases) {
    const ParseResult result = parse_options(c.args);
    ASSERT_TRUE(result.options) << c.args[0] << ": " << result.error;
    EXPECT_TRUE(c.check(*result.options)) << c.args[0];
  }
}

TEST(LauncherOptions, RefusesBadInputWithAReason) {
  struct Case {
    std::vector<std::string> args;
    std::string error_part;
  };
  const std::vector<Case> cases = {
      {{"--nope"}, "unknown option --nope"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--host"}, "--host needs a value"},
      {{"--host", ""}, "for --host"},
      {{"--port-base", "0"}, "a port 1..65532"},
      {{"--port-base", "65533"}, "a port"},
      {{"--port-base", "12x"}, "a port"},
      {{"--width", "-1"}, "an integer 0..2147483647"},
      {{"--width", "2147483648"}, "an integer"},
      {{"--fps", "+5"}, "an integer"},
      {{"--bitrate", "1.5"}, "an integer"},
      {{"--duration", "0"}, "seconds"},
      {{"--duration", "nan"}, "seconds"},
      {{"--duration", "inf"}, "seconds"},
      {{"--drop-pct", "100.5"}, "a percentage"},
      {{"--drop-pct", "-1"}, "a percentage"},
      {{"--frames", "-3"}, "a frame count"},
      {{"--seed", "18446744073709551616"}, "an unsigned integer"},
      {{"--connect-timeout", "soon"}, "seconds"},
      {{"--save-png="}, "for --save-png"},
  };
  for (const Case& c : cases) {
    const ParseResult result = parse_options(c.args);
    EXPECT_FALSE(result.options) << c.args[0];
    EXPECT_FALSE(result.help);
    EXPECT_NE(result.error.find(c.error_part), std::string::npos) << "'" << result.error << "'";
  }
}

TEST(LauncherOptions, HelpWinsOverEverythingBeforeIt) {
  EXPECT_TRUE(parse_options({"--fps", "30", "--help"}).help);
  EXPECT_FALSE(parse_options({"--fps", "30", "--help"}).options);
  EXPECT_NE(usage_text().find("--connect-timeout"), std::string::npos);
}

}  // namespace
}  // namespace vn::launcher
