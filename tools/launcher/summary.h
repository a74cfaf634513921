#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vn::launcher {

// What a session amounted to. Rates are over the streaming time: from the
// first authentic media datagram to the end.
struct Summary {
  std::string end_reason;
  int exit_code = 0;
  double streaming_s = 0;

  uint64_t frames_complete = 0;
  uint64_t frames_decoded = 0;
  double fps = 0;         // decoded frames per second
  double video_mbps = 0;  // complete access units' bytes, Mbit/s
  uint64_t datagrams_received = 0;  // video + audio ports, before simulated loss
  uint64_t video_datagrams = 0;
  uint64_t dropped_simulated = 0;
  double loss_before_fec_pct = 0;  // see LossMeter for what counts as expected
  uint64_t frames_lost = 0;        // could not be rebuilt (or never seen)
  uint64_t frames_rebuilt = 0;     // completed thanks to repair packets
  uint64_t key_frames = 0;
  uint64_t auth_failures = 0;      // both ports
  uint64_t audio_packets = 0;
  uint64_t duplicates = 0;
  uint64_t idr_requests = 0;

  std::optional<double> latency_p50_ms;  // capture to complete, agent's monotonic clock
  std::optional<double> latency_p99_ms;
  uint64_t latency_samples = 0;
  double jitter_ms = 0;
  std::optional<double> rtt_ms;  // latest ping round trip

  uint32_t picture_width = 0;
  uint32_t picture_height = 0;
  std::optional<std::array<double, 3>> last_picture_rgb;  // mean R, G, B of the last picture
  std::string png_path;   // empty when none was written
  std::string h264_path;  // empty when none was written

  uint64_t violations = 0;
  std::vector<std::string> violation_messages;  // the first few
};

// A few aligned "name  value" lines, ending in a line feed.
std::string summary_text(const Summary& summary);
// One compact JSON object (no line feed); absent values are null.
std::string summary_json(const Summary& summary);

}  // namespace vn::launcher
