#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "capture/desktop_capturer.h"
#include "core/base/loop_clock.h"
#include "core/session/session_control.h"
#include "encode/video_encoder.h"
#include "network/transport/encryption.h"
#include "network/transport/packet.h"
#include "network/transport/packetizer.h"

namespace vn {

// Figures of the session's other parts that the statistics line shows.
struct MediaCounters {
  uint64_t video_bytes_sent = 0;
  uint64_t video_packets_sent = 0;
  uint64_t video_send_errors = 0;
  uint64_t input_events_applied = 0;
  uint64_t audio_packets_sent = 0;
};

// Time spent in each stage of the loop's frames, summed over the session, in
// microseconds. Encoding includes the encoder's colour conversion.
struct StageTimes {
  uint64_t capture_us = 0;
  uint64_t encode_us = 0;
  uint64_t packetize_us = 0;  // cutting and erasure-code repair packets
  uint64_t seal_us = 0;
  uint64_t enqueue_us = 0;
  uint64_t frames = 0;  // frames that went through every stage
};

struct FrameLoopTotals {
  uint64_t frames_total = 0;    // frames queued on the video sender
  uint32_t no_key_drops = 0;    // frames dropped for want of a video key
  uint32_t encrypt_drops = 0;   // packets dropped because sealing failed
  uint64_t queued_total = 0;    // packets queued on the video sender
  StageTimes stages;
};

// What the frame loop works with; everything is owned by the session.
struct FrameLoopParts {
  capture::DesktopCapturer* capture = nullptr;
  encode::IVideoEncoder* encoder = nullptr;
  network::Packetizer* packetizer = nullptr;
  network::Encryption* encryption = nullptr;  // the video key
  SessionFlags* flags = nullptr;
  // Queues one frame's sealed packets as a batch (the video sender).
  std::function<void(const std::vector<network::Packet>&)> send;
  // False once the launcher's control connection is gone.
  std::function<bool()> launcher_connected;
  // Optional: the statistics line's figures.
  std::function<MediaCounters()> counters;
  // Optional: a bitrate (bit/s) asked for since the last call, or 0.
  std::function<uint32_t()> take_bitrate_request;
};

struct FrameLoopSettings {
  uint32_t fps = 60;               // 0 is taken as 60
  uint32_t max_duration_sec = 0;   // 0: no limit
  uint64_t session_start_us = 0;   // on the loop clock
};

// The session's per-frame loop on the session thread: paces itself at the
// frame rate, captures, encodes, packetizes, seals and queues each frame,
// repeats the last picture while the screen is still (with a key frame once
// it has been still for about 100 ms, and every two seconds of repeats),
// drops stale frames and logs
// statistics every 5 s. Runs until `running` turns false or the session ends
// (launcher gone, maximum duration, an exception), which sets end_requested.
class FrameLoop {
 public:
  FrameLoop(const FrameLoopParts& parts, const FrameLoopSettings& settings, LoopClock& clock = system_loop_clock());

  FrameLoopTotals run(const std::atomic<bool>& running);

 private:
  enum class Next { kContinue, kEndSession };

  Next iterate();
  void pace();
  bool capture_into_frame();
  void send_frame();
  void log_stats_if_due();

  FrameLoopParts parts_;
  LoopClock& clock_;
  uint32_t fps_;
  uint32_t max_duration_sec_;
  uint64_t session_start_us_;
  uint64_t interval_us_;
  uint64_t settle_repeats_;  // repeats of a still screen before its key frame

  uint64_t next_us_ = 0;
  bool have_frame_ = false;
  bool repeat_ = false;
  uint64_t no_change_run_ = 0;
  uint64_t frames_window_ = 0;
  uint64_t skipped_window_ = 0;
  uint64_t window_start_us_ = 0;
  FrameLoopTotals totals_;

  capture::CapturedFrame frame_;
  encode::EncodedFrame encoded_;
  std::vector<network::Packet> packets_;
  std::vector<network::Packet> sealed_;
  std::vector<uint8_t> scratch_;
};

}  // namespace vn
