#include "control_protocol.h"

#include <sodium.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace vn::launcher {
namespace {

using nlohmann::json;

std::string to_line(const json& object) {
  // Invalid UTF-8 in operator-supplied text is replaced rather than thrown on.
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<json> parse_object(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  json value = json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

// Standard padded Base64 of exactly 32 bytes.
bool decode_key(const json& object, const char* name, StreamKey& key, std::string& problem) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string()) {
    problem = std::string(name) + " missing or not a string";
    return false;
  }
  const std::string& text = it->get_ref<const std::string&>();
  size_t length = 0;
  if (text.size() != 44 ||
      sodium_base642bin(key.data(), key.size(), text.data(), text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      length != key.size()) {
    problem = std::string(name) + " is not Base64 of 32 bytes";
    return false;
  }
  return true;
}

double finite_or_zero(double value) { return std::isfinite(value) ? value : 0.0; }

}  // namespace

SessionKeys::~SessionKeys() {
  sodium_memzero(video.data(), video.size());
  sodium_memzero(audio.data(), audio.size());
  sodium_memzero(input.data(), input.size());
}

std::string auth_line(const Options& options) {
  return to_line({{"type", "auth"},
                  {"token", options.token},
                  {"codec", options.codec},
                  {"width", options.width},
                  {"height", options.height},
                  {"fps", options.fps},
                  {"bitrate", options.bitrate_kbps},
                  {"udp_ip", options.udp_ip}});
}

std::string ping_line(uint64_t ts) { return to_line({{"type", "ping"}, {"ts", ts}}); }

std::string command_line(std::string_view type) { return to_line({{"type", type}}); }

std::string stats_line(const StatsReport& stats) {
  return to_line({{"type", "stats"},
                  {"rtt_ms", finite_or_zero(stats.rtt_ms)},
                  {"packet_loss_pct", std::clamp(finite_or_zero(stats.packet_loss_pct), 0.0, 100.0)},
                  {"decoded_fps", finite_or_zero(stats.decoded_fps)},
                  {"jitter_ms", finite_or_zero(stats.jitter_ms)}});
}

HandshakeReply parse_handshake_reply(std::string_view line) {
  HandshakeReply reply;
  const std::optional<json> object = parse_object(line);
  if (!object) {
    reply.detail = "not a JSON object";
    return reply;
  }
  for (const char* name : {"code", "error"}) {
    const auto it = object->find(name);
    if (it != object->end() && it->is_string()) {
      reply.kind = HandshakeReply::Kind::kAgentError;
      reply.detail = it->get<std::string>();
      return reply;
    }
  }
  const auto type = object->find("type");
  if (type == object->end() || *type != "session_ready") {
    reply.detail = "type is not \"session_ready\"";
    return reply;
  }
  if (!decode_key(*object, "video_key", reply.keys.video, reply.detail) ||
      !decode_key(*object, "audio_key", reply.keys.audio, reply.detail) ||
      !decode_key(*object, "input_key", reply.keys.input, reply.detail)) {
    return reply;
  }
  reply.kind = HandshakeReply::Kind::kReady;
  return reply;
}

AgentLine parse_agent_line(std::string_view line) {
  AgentLine result;
  const std::optional<json> object = parse_object(line);
  if (!object) return result;
  result.kind = AgentLine::Kind::kOther;
  const auto type = object->find("type");
  if (type == object->end() || !type->is_string()) return result;
  result.type = type->get<std::string>();
  if (result.type != "pong") return result;
  const auto ts = object->find("ts");
  // nlohmann keeps every integer without a minus sign as unsigned.
  if (ts == object->end() || !ts->is_number_unsigned()) {
    result.kind = AgentLine::Kind::kBadPong;
    return result;
  }
  result.kind = AgentLine::Kind::kPong;
  result.ts = ts->get<uint64_t>();
  return result;
}

void PingTracker::sent(uint64_t ts) {
  waiting_.push_back(ts);
  while (waiting_.size() > capacity_) waiting_.pop_front();
}

bool PingTracker::answer(uint64_t ts) {
  const auto it = std::find(waiting_.begin(), waiting_.end(), ts);
  if (it == waiting_.end()) return false;
  waiting_.erase(waiting_.begin(), it + 1);
  return true;
}

}  // namespace vn::launcher
