#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vn {

// The launcher's periodic receive statistics ("stats" message).
struct ClientStats {
  float rtt_ms = 0;
  float packet_loss_pct = 0;  // 0 to 100
  float decoded_fps = 0;
  float jitter_ms = 0;
};

}  // namespace vn

namespace vn::network {

// A "set_settings" request; a field of 0 or less asks for no change.
struct SettingsChange {
  int32_t bitrate_kbps = 0;
  int32_t fps = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// Lines longer than this are skipped unparsed.
inline constexpr size_t kMaxControlMessageBytes = 8192;

// Each may be empty.
struct ControlCallbacks {
  std::function<void(const ClientStats&)> stats;
  std::function<void(const std::string&)> command;  // the message type
  std::function<void(const SettingsChange&)> settings;
};

// What one control line turned into.
enum class ControlLineResult {
  kEmpty,      // empty line, ignored
  kOversized,  // over kMaxControlMessageBytes, ignored (the caller warns, rate-limited)
  kMalformed,  // JSON error, dropped (trace log)
  kStats,      // stats callback called
  kPong,       // pong handed to the reply sink
  kCommand,    // command callback called
  kSettings,   // settings callback called
  kUnhandled,  // well formed, but no callback takes it (or empty type)
};

// Handles one launcher line (without its line feed): parses it and calls at
// most one callback, or hands a pong line (compact JSON plus line feed) to
// `send_reply`. Only JSON errors are caught; a throwing callback propagates.
ControlLineResult dispatch_control_line(std::string_view line, const ControlCallbacks& callbacks,
                                        const std::function<void(std::string)>& send_reply);

}  // namespace vn::network
