#include "summary.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace vn::launcher {
namespace {

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

std::string optional_ms(const std::optional<double>& value) { return value ? fixed(*value, 2) + " ms" : "n/a"; }

nlohmann::json or_null(const std::optional<double>& value) { return value ? nlohmann::json(*value) : nullptr; }

}  // namespace

std::string summary_text(const Summary& s) {
  std::string out;
  auto line = [&out](const char* name, const std::string& value) {
    char label[32];
    std::snprintf(label, sizeof(label), "%-22s", name);
    out += label;
    out += value;
    out += '\n';
  };
  line("end", s.end_reason + " (exit " + std::to_string(s.exit_code) + ")");
  line("streaming time", fixed(s.streaming_s, 2) + " s");
  line("frames complete", std::to_string(s.frames_complete) + " (key " + std::to_string(s.key_frames) +
                              ", rebuilt by FEC " + std::to_string(s.frames_rebuilt) + ")");
  line("frames decoded", std::to_string(s.frames_decoded) + " (" + fixed(s.fps, 1) + " fps)");
  line("frames lost after FEC", std::to_string(s.frames_lost));
  line("video bitrate", fixed(s.video_mbps, 2) + " Mbit/s");
  line("datagrams received", std::to_string(s.datagrams_received) + " (video " + std::to_string(s.video_datagrams) +
                                 ", dropped on purpose " + std::to_string(s.dropped_simulated) + ", duplicates " +
                                 std::to_string(s.duplicates) + ")");
  line("loss before FEC", fixed(s.loss_before_fec_pct, 2) + " %");
  line("auth failures", std::to_string(s.auth_failures));
  line("audio packets", std::to_string(s.audio_packets));
  line("key frame requests", std::to_string(s.idr_requests));
  line("latency p50 / p99", optional_ms(s.latency_p50_ms) + " / " + optional_ms(s.latency_p99_ms) + " (" +
                                std::to_string(s.latency_samples) +
                                " frames; capture to complete, valid only with the agent on this host)");
  line("jitter", fixed(s.jitter_ms, 2) + " ms");
  line("round trip", optional_ms(s.rtt_ms));
  if (s.last_picture_rgb) {
    const auto& rgb = *s.last_picture_rgb;
    line("picture", std::to_string(s.picture_width) + "x" + std::to_string(s.picture_height) + ", mean RGB " +
                        fixed(rgb[0], 1) + " " + fixed(rgb[1], 1) + " " + fixed(rgb[2], 1));
  } else {
    line("picture", "none decoded");
  }
  if (!s.png_path.empty()) line("png", s.png_path);
  if (!s.h264_path.empty()) line("h264", s.h264_path);
  line("protocol violations", std::to_string(s.violations));
  for (const std::string& message : s.violation_messages) line("  violation", message);
  return out;
}

std::string summary_json(const Summary& s) {
  nlohmann::json rgb = nullptr;
  if (s.last_picture_rgb) rgb = {(*s.last_picture_rgb)[0], (*s.last_picture_rgb)[1], (*s.last_picture_rgb)[2]};
  const nlohmann::json object = {
      {"end_reason", s.end_reason},
      {"exit_code", s.exit_code},
      {"streaming_s", s.streaming_s},
      {"frames_complete", s.frames_complete},
      {"frames_decoded", s.frames_decoded},
      {"fps", s.fps},
      {"video_mbps", s.video_mbps},
      {"datagrams_received", s.datagrams_received},
      {"video_datagrams", s.video_datagrams},
      {"dropped_simulated", s.dropped_simulated},
      {"loss_before_fec_pct", s.loss_before_fec_pct},
      {"frames_lost", s.frames_lost},
      {"frames_rebuilt", s.frames_rebuilt},
      {"key_frames", s.key_frames},
      {"auth_failures", s.auth_failures},
      {"audio_packets", s.audio_packets},
      {"duplicates", s.duplicates},
      {"idr_requests", s.idr_requests},
      {"latency_p50_ms", or_null(s.latency_p50_ms)},
      {"latency_p99_ms", or_null(s.latency_p99_ms)},
      {"latency_samples", s.latency_samples},
      {"latency_same_host_only", true},
      {"jitter_ms", s.jitter_ms},
      {"rtt_ms", or_null(s.rtt_ms)},
      {"picture_width", s.picture_width},
      {"picture_height", s.picture_height},
      {"last_picture_rgb", rgb},
      {"png_path", s.png_path},
      {"h264_path", s.h264_path},
      {"violations", s.violations},
      {"violation_messages", s.violation_messages},
  };
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vn::launcher
