#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>

#include "core/base/agent_config.h"
#include "core/base/parse_int.h"

namespace vn {
namespace {

TEST(ParseInt, BehavesLikeStoi) {
  struct Case {
    const char* text;
    int value;
  };
  const Case cases[] = {
      {"0", 0},          {"42", 42},           {"-7", -7},          {"+9", 9},
      {"  \t\n12", 12},  {"30fps", 30},        {"007", 7},          {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},        {"12 34", 12},       {"\v\f\r5", 5}, {"0x1f", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_int(c.text), c.value) << c.text;
}

TEST(ParseInt, ThrowsStoiExceptionsWithFixedTexts) {
  for (const char* text : {"", " ", "abc", "-", "+", " -x1", "+-1", "x12"}) {
    try {
      parse_int(text);
      ADD_FAILURE() << "no exception for '" << text << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "invalid stoi argument") << text;
    }
  }
  for (const char* text : {"2147483648", "-2147483649", "99999999999999999999999999", "70000000000"}) {
    try {
      parse_int(text);
      ADD_FAILURE() << "no exception for '" << text << "'";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "stoi argument out of range") << text;
    }
  }
}

AgentConfig parse(std::vector<std::string> args, ParseResult* result = nullptr) {
  args.insert(args.begin(), "agent");
  AgentConfig config;
  const ParseResult r = parse_arguments(config, args);
  if (result != nullptr) *result = r;
  return config;
}

TEST(ParseArguments, NoArgumentsGiveTheDefaults) {
  const AgentConfig c = parse({});
  EXPECT_EQ(c.port_base, 47998);
  EXPECT_EQ(c.width, 1920);
  EXPECT_EQ(c.height, 1080);
  EXPECT_EQ(c.fps, 60u);
  EXPECT_EQ(c.bitrate, 30000000u);
  EXPECT_EQ(c.codec, "h264");
  EXPECT_EQ(c.max_duration_sec, 0u);
  EXPECT_TRUE(c.saas_host.empty());
  EXPECT_EQ(c.saas_port, 443);
  EXPECT_TRUE(c.server_id.empty());
  EXPECT_TRUE(c.agent_token.empty());
  EXPECT_TRUE(c.public_ip.empty());
  EXPECT_FALSE(c.hide_desktop);
  EXPECT_FALSE(c.launch_steam);
  EXPECT_TRUE(c.steam_app_id.empty());
  EXPECT_TRUE(c.steam_path.empty());
}

TEST(ParseArguments, OptionTable) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(const AgentConfig&)> check;
  };
  const Case cases[] = {
      {{"--port", "48001"}, [](const AgentConfig& c) { EXPECT_EQ(c.port_base, 47998); }},
      {{"--port-base", "70000"}, [](const AgentConfig& c) { EXPECT_EQ(c.port_base, 4464); }},
      {{"--port-base", "-1"}, [](const AgentConfig& c) { EXPECT_EQ(c.port_base, 65535); }},
      {{"--port", "2"}, [](const AgentConfig& c) { EXPECT_EQ(c.port_base, 65535); }},
      {{"--port", "-2147483648"}, [](const AgentConfig& c) { EXPECT_EQ(c.port_base, 65533); }},
      {{"--width", "1280", "--height", "720"},
       [](const AgentConfig& c) {
         EXPECT_EQ(c.width, 1280);
         EXPECT_EQ(c.height, 720);
       }},
      {{"--fps", "144", "--bitrate", "5000000"},
       [](const AgentConfig& c) {
         EXPECT_EQ(c.fps, 144u);
         EXPECT_EQ(c.bitrate, 5000000u);
       }},
      {{"--fps", "-1"}, [](const AgentConfig& c) { EXPECT_EQ(c.fps, 4294967295u); }},
      {{"--codec", "av1"}, [](const AgentConfig& c) { EXPECT_EQ(c.codec, "av1"); }},
      {{"--saas-host", "api.example.test", "--saas-port", "8080", "--server-id", "id-1", "--agent-token", "id-1.sig",
        "--public-ip", "203.0.113.9"},
       [](const AgentConfig& c) {
         EXPECT_EQ(c.saas_host, "api.example.test");
         EXPECT_EQ(c.saas_port, 8080);
         EXPECT_EQ(c.server_id, "id-1");
         EXPECT_EQ(c.agent_token, "id-1.sig");
         EXPECT_EQ(c.public_ip, "203.0.113.9");
       }},
      {{"--saas-port", "65537"}, [](const AgentConfig& c) { EXPECT_EQ(c.saas_port, 1); }},
      {{"--hide-desktop", "--launch-steam", "--steam-app-id", "570", "--steam-path", "C:\\Steam\\steam.exe"},
       [](const AgentConfig& c) {
         EXPECT_TRUE(c.hide_desktop);
         EXPECT_TRUE(c.launch_steam);
         EXPECT_EQ(c.steam_app_id, "570");
         EXPECT_EQ(c.steam_path, "C:\\Steam\\steam.exe");
       }},
      // Unknown arguments are skipped; names compare whole and case-sensitively.
      {{"--verbose", "--WIDTH", "5", "--width=800", "-w", "10"},
       [](const AgentConfig& c) { EXPECT_EQ(c.width, 1920); }},
      // A value option consumes the next argument even when it looks like an option.
      {{"--codec", "--width", "800"},
       [](const AgentConfig& c) {
         EXPECT_EQ(c.codec, "--width");
         EXPECT_EQ(c.width, 1920);
       }},
      // A string option given last takes the empty string.
      {{"--codec"}, [](const AgentConfig& c) { EXPECT_EQ(c.codec, ""); }},
      // Later values win.
      {{"--fps", "30", "--fps", "90"}, [](const AgentConfig& c) { EXPECT_EQ(c.fps, 90u); }},
      {{"--width", " 1280px"}, [](const AgentConfig& c) { EXPECT_EQ(c.width, 1280); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ParseResult result{};
    const AgentConfig config = parse(c.args, &result);
    EXPECT_EQ(result, ParseResult::kRun);
    c.check(config);
  }
}

TEST(ParseArguments, HelpStopsParsingWherever) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"--width", "1280", "-h"}, {"-h", "--fps"}, {"--fps", "30", "--help", "--fps", "x"}}) {
    ParseResult result{};
    parse(args, &result);
    EXPECT_EQ(result, ParseResult::kShowUsage) << ::testing::PrintToString(args);
  }
  // "-h" as an option's value is that value, not a request for help.
  ParseResult result{};
  EXPECT_EQ(parse({"--codec", "-h"}, &result).codec, "-h");
  EXPECT_EQ(result, ParseResult::kRun);
}

TEST(ParseArguments, MalformedNumbersThrow) {
  EXPECT_THROW(parse({"--fps"}), std::invalid_argument);  // last argument: empty value
  EXPECT_THROW(parse({"--width", "wide"}), std::invalid_argument);
  EXPECT_THROW(parse({"--port", ""}), std::invalid_argument);
  EXPECT_THROW(parse({"--bitrate", "3000000000"}), std::out_of_range);
  EXPECT_THROW(parse({"--saas-port", "99999999999"}), std::out_of_range);
}

TEST(UsageText, MatchesLineForLine) {
  const std::vector<std::string> expected = {
      "Usage: agent.exe [options]",
      "  --saas-host    SaaS API hostname (e.g. api.vantor.example)",
      "  --saas-port    SaaS WebSocket port (default 443)",
      "  --server-id    UUID of this MerchantServer",
      "  --agent-token  HMAC auth token (server_id.signature)",
      "  --public-ip    Public IP to report to SaaS (auto-detected if omitted)",
      "  --port-base    Base UDP port (default 47998); ports used: base, base+1, base+2, base+3",
      "                 Use a unique base per PC behind the same NAT.",
      "                 Example: PC1=47998, PC2=48002, PC3=48006, PC4=48010, PC5=48014",
      "  --width        Capture width    (default 1920)",
      "  --height       Capture height   (default 1080)",
      "  --fps          Target FPS       (default 60)",
      "  --bitrate      Bitrate in bps   (default 30000000)",
      "  --codec        h264 | hevc      (default h264)",
  };
  const std::string& text = usage_text();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace vn
