#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vn {

// The agent's configuration, filled from the command line once per process.
// Each session works on a copy that the backend's prepare_session may override.
struct AgentConfig {
  uint16_t port_base = 47998;  // video to launcher port_base, audio +1, input +2, TCP +3
  int32_t width = 1920;
  int32_t height = 1080;
  uint32_t fps = 60;
  uint32_t bitrate = 30000000;  // bits per second
  std::string codec = "h264";
  uint32_t max_duration_sec = 0;  // 0 = unlimited; only set by prepare_session
  std::string saas_host;
  uint16_t saas_port = 443;
  std::string server_id;
  std::string agent_token;
  std::string public_ip;
  bool hide_desktop = false;
  bool launch_steam = false;
  std::string steam_app_id;
  std::string steam_path;
  // Hex SHA-256 of --session-token: the token a standalone session's launcher
  // must present. Empty: the control server's rule for a missing hash applies.
  std::string session_token_sha256;

  AgentConfig() = default;
  AgentConfig(const AgentConfig&) = default;
  AgentConfig& operator=(const AgentConfig&) = default;
  AgentConfig(AgentConfig&&) = default;
  AgentConfig& operator=(AgentConfig&&) = default;
  ~AgentConfig();  // wipes agent_token and session_token_sha256
};

// Lower-case hex SHA-256 of a launcher token: the form of --session-token's
// expected hash and of the backend's session_token_sha256.
std::string token_sha256_hex(const std::string& token);

// The usage text printed by --help / -h, every line ending in '\n'.
const std::string& usage_text();

// What parse_arguments found besides the configuration.
enum class ParseResult {
  kRun,        // configuration filled, go on
  kShowUsage,  // --help or -h was met: print usage_text() and exit 0
};

// Fills `config` from `args` (args[0] is the program name and is skipped).
// Stops at the first --help / -h. Numeric values convert like std::stoi and
// throw std::invalid_argument / std::out_of_range on bad input.
ParseResult parse_arguments(AgentConfig& config, const std::vector<std::string>& args);

// The process entry's form: prints the usage text and exits with code 0 on
// --help / -h, otherwise returns with `config` filled. Throws like parse_arguments.
void parse_args(AgentConfig& config, int argc, char** argv);

}  // namespace vn
