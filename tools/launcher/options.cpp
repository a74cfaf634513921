#include "options.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string_view>

namespace vn::launcher {
namespace {

// from_chars over the whole text; no sign other than a leading '-' for signed types.
template <typename T>
bool parse_integer(std::string_view text, T min, T max, T& out) {
  if (text.empty() || text.front() == '+') return false;
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return false;
  if (value < min || value > max) return false;
  out = value;
  return true;
}

bool parse_real(std::string_view text, double min, double max, double& out) {
  if (text.empty() || text.front() == '+') return false;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) return false;
  if (value < min || value > max) return false;
  out = value;
  return true;
}

// One option taking a value: stores it and returns an empty string, or
// returns what the value should have been.
using Setter = std::function<std::string(Options&, std::string_view)>;

Setter text(std::string Options::*field, bool allow_empty) {
  return [field, allow_empty](Options& o, std::string_view v) -> std::string {
    if (!allow_empty && v.empty()) return "a non-empty text";
    o.*field = std::string(v);
    return {};
  };
}

Setter i32(int32_t Options::*field) {
  return [field](Options& o, std::string_view v) -> std::string {
    return parse_integer<int32_t>(v, 0, std::numeric_limits<int32_t>::max(), o.*field) ? "" : "an integer 0..2147483647";
  };
}

Setter real(double Options::*field, double min, double max, const char* expected) {
  return [=](Options& o, std::string_view v) -> std::string {
    return parse_real(v, min, max, o.*field) ? "" : expected;
  };
}

const std::map<std::string, Setter, std::less<>>& setters() {
  static const std::map<std::string, Setter, std::less<>> table = {
      {"--host", text(&Options::host, false)},
      {"--port-base",
       [](Options& o, std::string_view v) -> std::string {
         // B+3 must still be a port.
         return parse_integer<uint16_t>(v, 1, 65532, o.port_base) ? "" : "a port 1..65532";
       }},
      {"--token", text(&Options::token, true)},
      {"--udp-ip", text(&Options::udp_ip, true)},
      {"--codec", i32(&Options::codec)},
      {"--width", i32(&Options::width)},
      {"--height", i32(&Options::height)},
      {"--fps", i32(&Options::fps)},
      {"--bitrate", i32(&Options::bitrate_kbps)},
      {"--duration", real(&Options::duration_s, 0.001, 86400.0, "seconds, 0.001..86400")},
      {"--frames",
       [](Options& o, std::string_view v) -> std::string {
         return parse_integer<uint64_t>(v, 0, std::numeric_limits<uint64_t>::max(), o.frame_limit)
                    ? ""
                    : "a frame count >= 0";
       }},
      {"--drop-pct", real(&Options::drop_pct, 0.0, 100.0, "a percentage 0..100")},
      {"--seed",
       [](Options& o, std::string_view v) -> std::string {
         return parse_integer<uint64_t>(v, 0, std::numeric_limits<uint64_t>::max(), o.seed) ? ""
                                                                                             : "an unsigned integer";
       }},
      {"--save-png", text(&Options::png_path, false)},
      {"--save-h264", text(&Options::h264_path, false)},
      {"--summary-json", text(&Options::summary_json_path, false)},
      {"--connect-timeout", real(&Options::connect_timeout_s, 0.0, 86400.0, "seconds, 0..86400")},
  };
  return table;
}

}  // namespace

ParseResult parse_options(const std::vector<std::string>& args) {
  ParseResult result;
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      result.help = true;
      return result;
    }
    if (arg == "--no-end-session") {
      options.end_session = false;
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const auto setter = setters().find(name);
    if (setter == setters().end()) {
      result.error = arg.starts_with("-") ? "unknown option " + std::string(name)
                                          : "unexpected argument '" + std::string(arg) + "'";
      return result;
    }
    if (!value) {
      if (i + 1 == args.size()) {
        result.error = "option " + std::string(name) + " needs a value";
        return result;
      }
      value = args[++i];
    }
    if (const std::string expected = setter->second(options, *value); !expected.empty()) {
      result.error = "bad value '" + std::string(*value) + "' for " + std::string(name) + ": expected " + expected;
      return result;
    }
  }
  result.options = std::move(options);
  return result;
}

std::string usage_text() {
  return R"(usage: launcher [options]
Connects to an agent, receives its video and audio, rebuilds and decodes the
video, then prints a summary.

  --host H              agent address (default 127.0.0.1)
  --port-base B         agent's port base (default 47998): video on UDP B,
                        audio on UDP B+1, control on TCP B+3
  --token T             session token (default "launcher")
  --udp-ip IP           udp_ip sent in auth (default empty)
  --codec N --width W --height H --fps F --bitrate KBPS
                        informational auth values (0, 1920, 1080, 60, 15000)
  --duration S          seconds of streaming after the first media datagram
                        (default 5, fractions allowed)
  --frames N            stop after N decoded frames (default 0: no limit)
  --drop-pct P          drop P % of received video datagrams (0..100)
  --seed N              seed of the simulated drops (default 1)
  --save-png PATH       write the last decoded picture as PNG at the end
  --save-h264 PATH      write every complete access unit (raw Annex B)
  --summary-json PATH   write the summary as one JSON object
  --no-end-session      close the connection at the end without end_session
  --connect-timeout S   keep retrying the TCP connect for S seconds (default 10)
  --help                this text

exit codes: 0 ok, 1 connection/auth/local failure, 2 bad command line,
            3 protocol violation, 4 no media received
)";
}

}  // namespace vn::launcher
