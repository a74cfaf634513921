#include "core/base/agent_config.h"

#include <cstdlib>
#include <functional>
#include <iostream>
#include <string_view>

#include <sodium.h>

#include "core/base/parse_int.h"
#include "core/base/secret_wipe.h"

namespace vn {

AgentConfig::~AgentConfig() {
  wipe(agent_token);
  wipe(session_token_sha256);
}

namespace {

using ValueSetter = std::function<void(AgentConfig&, const std::string&)>;
using FlagSetter = std::function<void(AgentConfig&)>;

struct ValueOption {
  std::string_view name;
  ValueSetter set;
};

struct FlagOption {
  std::string_view name;
  FlagSetter set;
};

// Options taking the next argument as their value. Port values are truncated to
// 16 bits and unsigned fields take the int's bits, as the conversions have it.
const ValueOption kValueOptions[] = {
    {"--port-base", [](AgentConfig& c, const std::string& v) { c.port_base = static_cast<uint16_t>(parse_int(v)); }},
    // The TCP control port is base + 3; the subtraction wraps at 16 bits like
    // every port (64-bit first, so that the smallest int cannot overflow).
    {"--port",
     [](AgentConfig& c, const std::string& v) { c.port_base = static_cast<uint16_t>(int64_t{parse_int(v)} - 3); }},
    {"--width", [](AgentConfig& c, const std::string& v) { c.width = parse_int(v); }},
    {"--height", [](AgentConfig& c, const std::string& v) { c.height = parse_int(v); }},
    {"--fps", [](AgentConfig& c, const std::string& v) { c.fps = static_cast<uint32_t>(parse_int(v)); }},
    {"--bitrate", [](AgentConfig& c, const std::string& v) { c.bitrate = static_cast<uint32_t>(parse_int(v)); }},
    {"--codec", [](AgentConfig& c, const std::string& v) { c.codec = v; }},
    {"--saas-host", [](AgentConfig& c, const std::string& v) { c.saas_host = v; }},
    {"--saas-port", [](AgentConfig& c, const std::string& v) { c.saas_port = static_cast<uint16_t>(parse_int(v)); }},
    {"--server-id", [](AgentConfig& c, const std::string& v) { c.server_id = v; }},
    {"--agent-token", [](AgentConfig& c, const std::string& v) { c.agent_token = v; }},
    {"--public-ip", [](AgentConfig& c, const std::string& v) { c.public_ip = v; }},
    {"--steam-app-id", [](AgentConfig& c, const std::string& v) { c.steam_app_id = v; }},
    {"--steam-path", [](AgentConfig& c, const std::string& v) { c.steam_path = v; }},
    // Standalone sessions: only a launcher presenting this token gets the keys.
    // Not in the usage text (the backend hands out tokens in service use).
    {"--session-token", [](AgentConfig& c, const std::string& v) { c.session_token_sha256 = token_sha256_hex(v); }},
};

const FlagOption kFlagOptions[] = {
    {"--hide-desktop", [](AgentConfig& c) { c.hide_desktop = true; }},
    {"--launch-steam", [](AgentConfig& c) { c.launch_steam = true; }},
};

}  // namespace

std::string token_sha256_hex(const std::string& token) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.data()), token.size());
  char hex[crypto_hash_sha256_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
  return hex;
}

const std::string& usage_text() {
  static const std::string text =
      "Usage: agent.exe [options]\n"
      "  --saas-host    SaaS API hostname (e.g. api.vantor.example)\n"
      "  --saas-port    SaaS WebSocket port (default 443)\n"
      "  --server-id    UUID of this MerchantServer\n"
      "  --agent-token  HMAC auth token (server_id.signature)\n"
      "  --public-ip    Public IP to report to SaaS (auto-detected if omitted)\n"
      "  --port-base    Base UDP port (default 47998); ports used: base, base+1, base+2, base+3\n"
      "                 Use a unique base per PC behind the same NAT.\n"
      "                 Example: PC1=47998, PC2=48002, PC3=48006, PC4=48010, PC5=48014\n"
      "  --width        Capture width    (default 1920)\n"
      "  --height       Capture height   (default 1080)\n"
      "  --fps          Target FPS       (default 60)\n"
      "  --bitrate      Bitrate in bps   (default 30000000)\n"
      "  --codec        h264 | hevc      (default h264)\n";
  return text;
}

ParseResult parse_arguments(AgentConfig& config, const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") return ParseResult::kShowUsage;

    bool matched = false;
    for (const auto& option : kValueOptions) {
      if (arg != option.name) continue;
      // A value option given last takes the empty string; the index stays.
      const bool has_value = i + 1 < args.size();
      option.set(config, has_value ? args[i + 1] : std::string());
      if (has_value) ++i;
      matched = true;
      break;
    }
    if (matched) continue;

    for (const auto& option : kFlagOptions) {
      if (arg == option.name) {
        option.set(config);
        break;
      }
    }
    // Anything else is skipped without a message.
  }
  return ParseResult::kRun;
}

void parse_args(AgentConfig& config, int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(argc > 0 ? static_cast<size_t>(argc) : 0);
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");

  if (parse_arguments(config, args) == ParseResult::kShowUsage) {
    std::cout << usage_text() << std::flush;
    std::exit(0);
  }
}

}  // namespace vn
