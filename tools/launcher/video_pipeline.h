#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "control_protocol.h"
#include "h264_decoder.h"
#include "loss_meter.h"
#include "network/transport/frame_assembler.h"
#include "stream_stats.h"

namespace vn::launcher {

struct VideoCounters {
  uint64_t datagrams = 0;           // arrived on the video port
  uint64_t bytes = 0;               // of those datagrams
  uint64_t auth_failures = 0;       // did not open with the video key (nor the audio key)
  uint64_t dropped_simulated = 0;   // authentic, dropped by --drop-pct
  uint64_t rejected_authentic = 0;  // authentic but impossible for their frame (violations)
  uint64_t duplicates = 0;          // repeated packets, or packets of finished frames
  uint64_t frames_complete = 0;
  uint64_t frames_rebuilt = 0;      // needed the erasure code
  uint64_t key_frames = 0;          // complete key frames
  uint64_t frames_decoded = 0;      // pictures out of the decoder
  uint64_t decode_refused = 0;      // access units the decoder rejected, for any reason
  uint64_t access_unit_bytes = 0;   // of complete frames
};

// The video port's datagrams, in arrival order: authentication, simulated
// loss, frame rebuilding, the raw stream file, decoding and the statistics.
// Single-threaded; `now_us` is the caller's monotonic clock, the one the
// agent stamps frames with when both run on one host.
class VideoPipeline {
 public:
  struct Events {
    std::function<void(const std::string&)> violation;
    std::function<void()> need_key_frame;  // a frame was lost, or the decoder refused one
    std::function<void()> frame_decoded;
  };

  // `drop_pct` 0..100; `h264_out` may be null, else receives every complete
  // access unit and must outlive the pipeline.
  VideoPipeline(const StreamKey& video_key, const StreamKey& audio_key, double drop_pct, uint64_t seed,
                std::ostream* h264_out, Events events);
  ~VideoPipeline();
  VideoPipeline(const VideoPipeline&) = delete;
  VideoPipeline& operator=(const VideoPipeline&) = delete;

  // True when the datagram was authentic media (also when dropped on purpose).
  bool on_datagram(std::span<const uint8_t> datagram, uint64_t now_us);
  // Closes the loss accounting of settled frames; lost ones ask for a key frame.
  void settle(uint64_t now_us);
  // The end: settles and forgets frames still in flight.
  void finish(uint64_t now_us);

  const VideoCounters& counters() const { return counters_; }
  LossMeter& loss() { return loss_; }
  const LossMeter& loss() const { return loss_; }
  const InterarrivalJitter& jitter() const { return jitter_; }
  const LatencySamples& latency() const { return latency_; }
  // The latest decoded picture; null before the first.
  const DecodedPicture* picture() const { return have_picture_ ? &picture_ : nullptr; }
  bool decoder_ok() const { return decoder_.ok(); }

 private:
  void on_frame(const network::FrameAssembler::Frame& frame, uint64_t now_us);

  StreamKey video_key_;
  StreamKey audio_key_;
  network::FrameAssembler assembler_;
  H264Decoder decoder_;
  std::ostream* h264_out_;
  Events events_;
  double drop_probability_;
  std::mt19937_64 random_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};

  std::vector<uint8_t> scratch_;
  network::FrameAssembler::Frame frame_;
  DecodedPicture picture_;
  bool have_picture_ = false;
  // The decoder has every reference it needs: a key frame arrived and every
  // frame since completed, in order. Only then is a refusal the agent's fault.
  bool chain_intact_ = false;
  bool have_last_frame_ = false;
  uint32_t last_frame_id_ = 0;

  VideoCounters counters_;
  LossMeter loss_;
  InterarrivalJitter jitter_;
  LatencySamples latency_;
};

}  // namespace vn::launcher
