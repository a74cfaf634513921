#include "network/control/control_messages.h"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "core/base/json_fields.h"

namespace vn::network {
namespace {

// The decision for one parsed line, taken before any callback runs so that
// only parsing sits inside the JSON error handler.
struct Decision {
  ControlLineResult result = ControlLineResult::kUnhandled;
  std::string type;
  ClientStats stats;
  SettingsChange settings;
  uint64_t ts = 0;
};

Decision decide(std::string_view line, const ControlCallbacks& callbacks) {
  const nlohmann::json message = nlohmann::json::parse(line.begin(), line.end());
  Decision d;
  d.type = json_string(message, "type", "");
  if (d.type == "stats" && callbacks.stats) {
    d.stats.rtt_ms = json_f32(message, "rtt_ms", 0);
    d.stats.packet_loss_pct = json_f32(message, "packet_loss_pct", 0);
    d.stats.decoded_fps = json_f32(message, "decoded_fps", 0);
    d.stats.jitter_ms = json_f32(message, "jitter_ms", 0);
    d.result = ControlLineResult::kStats;
  } else if (d.type == "ping") {
    d.ts = json_u64(message, "ts", 0);
    d.result = ControlLineResult::kPong;
  } else if ((d.type == "request_idr" || d.type == "end_session") && callbacks.command) {
    d.result = ControlLineResult::kCommand;
  } else if (d.type == "set_settings" && callbacks.settings) {
    d.settings.bitrate_kbps = json_i32(message, "bitrate", 0);
    d.settings.fps = json_i32(message, "fps", 0);
    d.settings.width = json_i32(message, "width", 0);
    d.settings.height = json_i32(message, "height", 0);
    d.result = ControlLineResult::kSettings;
  } else if (!d.type.empty() && callbacks.command) {
    d.result = ControlLineResult::kCommand;
  }
  return d;
}

}  // namespace

ControlLineResult dispatch_control_line(std::string_view line, const ControlCallbacks& callbacks,
                                        const std::function<void(std::string)>& send_reply) {
  if (line.empty()) return ControlLineResult::kEmpty;
  if (line.size() > kMaxControlMessageBytes) return ControlLineResult::kOversized;

  Decision d;
  try {
    d = decide(line, callbacks);
  } catch (const nlohmann::json::exception& e) {
    spdlog::trace("TcpControlServer: malformed message: {}", e.what());
    return ControlLineResult::kMalformed;
  } catch (const JsonFieldError& e) {
    spdlog::trace("TcpControlServer: malformed message: {}", e.what());
    return ControlLineResult::kMalformed;
  }

  switch (d.result) {
    case ControlLineResult::kStats:
      callbacks.stats(d.stats);
      break;
    case ControlLineResult::kPong:
      if (send_reply) send_reply(nlohmann::json{{"ts", d.ts}, {"type", "pong"}}.dump() + "\n");
      break;
    case ControlLineResult::kCommand:
      callbacks.command(d.type);
      break;
    case ControlLineResult::kSettings:
      callbacks.settings(d.settings);
      break;
    default:
      break;
  }
  return d.result;
}

}  // namespace vn::network
