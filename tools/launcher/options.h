#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vn::launcher {

// Everything the command line sets. Defaults are what an operator gets with
// no option at all.
struct Options {
  std::string host = "127.0.0.1";
  uint16_t port_base = 47998;  // video arrives on B, audio on B+1, control on TCP B+3
  std::string token = "launcher";
  std::string udp_ip;  // sent in auth as is; the agent applies its own rules

  // Informational values of the auth line (the agent logs them).
  int32_t codec = 0;
  int32_t width = 1920;
  int32_t height = 1080;
  int32_t fps = 60;
  int32_t bitrate_kbps = 15000;

  double duration_s = 5.0;         // streaming time after the first media datagram
  uint64_t frame_limit = 0;        // stop after this many decoded frames; 0 = none
  double drop_pct = 0.0;           // simulated loss of received video datagrams, 0..100
  uint64_t seed = 1;               // of the simulated loss
  std::string png_path;            // empty: no PNG
  std::string h264_path;           // empty: no raw stream file
  std::string summary_json_path;   // empty: text summary only
  bool end_session = true;         // false: just close the connection at the end
  double connect_timeout_s = 10.0; // how long TCP connects are retried
};

struct ParseResult {
  std::optional<Options> options;  // empty on error or --help
  bool help = false;
  std::string error;  // one line, set when neither options nor help
};

// Parses argv[1..]. Accepts "--name value" and "--name=value"; the last of a
// repeated option wins. Never throws.
ParseResult parse_options(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace vn::launcher
