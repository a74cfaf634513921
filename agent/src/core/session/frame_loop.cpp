#include "core/session/frame_loop.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <exception>

#include "core/base/log_limit.h"

namespace vn {
namespace {

using capture::CaptureStatus;

constexpr uint64_t kStatsWindowUs = 5'000'000;
constexpr uint64_t kSleepThresholdUs = 2000;  // sleep only when further than this from the slot
constexpr uint64_t kWakeEarlyUs = 1000;       // and wake this much before it to spin
constexpr uint64_t kRecreatedPauseUs = 200'000;
constexpr uint64_t kFailedPauseUs = 500'000;
// How long the screen must have been still before a repeat becomes a key
// frame, and the fewest repeats that count as still.
constexpr uint64_t kStillSettleUs = 100'000;
constexpr uint64_t kStillSettleMinRepeats = 2;

// Empties the record for the next capture, keeping its buffers.
void reset_frame(capture::CapturedFrame& frame) {
  std::vector<capture::DirtyRect> rects = std::move(frame.dirty_rects);
  rects.clear();
  frame = capture::CapturedFrame{};
  frame.dirty_rects = std::move(rects);
}

}  // namespace

FrameLoop::FrameLoop(const FrameLoopParts& parts, const FrameLoopSettings& settings, LoopClock& clock)
    : parts_(parts),
      clock_(clock),
      fps_(settings.fps),
      max_duration_sec_(settings.max_duration_sec),
      session_start_us_(settings.session_start_us) {
  if (fps_ == 0) {
    fps_ = 60;
    spdlog::warn("Session FPS was 0, clamping to {}", fps_);
  }
  interval_us_ = 1'000'000 / fps_;
  settle_repeats_ = std::max(kStillSettleMinRepeats, (uint64_t{fps_} * kStillSettleUs + 999'999) / 1'000'000);
}

FrameLoopTotals FrameLoop::run(const std::atomic<bool>& running) {
  next_us_ = clock_.now_us();
  window_start_us_ = next_us_;
  spdlog::info("Pipeline running — press Ctrl+C to stop");
  try {
    while (running.load()) {
      if (iterate() == Next::kEndSession) break;
    }
  } catch (const std::exception& e) {
    spdlog::error("Session pipeline exception: {} - cleaning up", e.what());
    parts_.flags->end_requested.exchange(true);
  } catch (...) {
    spdlog::error("Session pipeline threw unknown exception - cleaning up");
    parts_.flags->end_requested.exchange(true);
  }
  return totals_;
}

FrameLoop::Next FrameLoop::iterate() {
  if (!parts_.launcher_connected()) {
    spdlog::info("Launcher disconnected — ending session");
    parts_.flags->end_requested.exchange(true);
    return Next::kEndSession;
  }
  if (max_duration_sec_ != 0 && clock_.now_us() - session_start_us_ >= uint64_t{max_duration_sec_} * 1'000'000) {
    spdlog::info("Session reached max_duration_sec={} - ending", max_duration_sec_);
    parts_.flags->end_requested.exchange(true);
    return Next::kEndSession;
  }
  if (parts_.take_bitrate_request) {
    if (const uint32_t bitrate = parts_.take_bitrate_request(); bitrate != 0) {
      parts_.encoder->reconfigure_bitrate(bitrate);
    }
  }
  if (parts_.flags->idr_requested.exchange(false)) {
    parts_.encoder->request_idr();
    spdlog::debug("IDR frame forced");
  }

  pace();
  if (!capture_into_frame()) return Next::kContinue;

  uint64_t t0 = clock_.now_us();
  const bool encoded = parts_.encoder->encode(frame_, encoded_);
  if (!repeat_) parts_.capture->release_frame();
  uint64_t t1 = clock_.now_us();
  totals_.stages.encode_us += t1 - t0;
  if (!encoded) {
    ++skipped_window_;
    return Next::kContinue;
  }

  packets_.clear();
  parts_.packetizer->packetize(
      {encoded_.data, encoded_.frame_number, encoded_.capture_timestamp_us, encoded_.key_frame}, packets_);
  t0 = clock_.now_us();
  totals_.stages.packetize_us += t0 - t1;

  if (!parts_.encryption->has_key()) {
    ++totals_.no_key_drops;
    if (log_occurrence(totals_.no_key_drops)) {
      spdlog::error("Video encryption key not set - dropping frame (total {})", totals_.no_key_drops);
    }
    return Next::kContinue;
  }
  send_frame();
  log_stats_if_due();
  return Next::kContinue;
}

void FrameLoop::pace() {
  const uint64_t now = clock_.now_us();
  uint64_t slot = next_us_;
  if (now > next_us_ + interval_us_) {
    slot = now;  // more than one interval late: restart the schedule instead of bursting
  } else if (now < next_us_) {
    if (next_us_ - now > kSleepThresholdUs) clock_.sleep_us(next_us_ - now - kWakeEarlyUs);
    while (clock_.now_us() < next_us_) clock_.spin();
  }
  next_us_ = slot + interval_us_;
}

// Captures (or repeats) a picture into frame_; false when this slot has
// nothing to encode.
bool FrameLoop::capture_into_frame() {
  reset_frame(frame_);
  const uint64_t t0 = clock_.now_us();
  const CaptureStatus status = parts_.capture->capture_frame(frame_);
  totals_.stages.capture_us += clock_.now_us() - t0;

  if (status == CaptureStatus::kNoChange) {
    ++no_change_run_;
    if (no_change_run_ % 50 == 0) spdlog::warn("DXGI: {} consecutive NoChange", no_change_run_);
    if (!have_frame_) return false;
    reset_frame(frame_);
    if (parts_.capture->repeat_last_frame(frame_) != CaptureStatus::kNewFrame) return false;
    // A screen that has settled gets a key frame, and another every two
    // seconds while it stays still, so a launcher that lost packets recovers
    // while nothing moves. Content that changes more slowly than the frame
    // rate (a 30 fps video in a 60 fps session) repeats single frames and
    // never settles: it gets no key frames from here.
    if (no_change_run_ == settle_repeats_ || no_change_run_ % (2 * uint64_t{fps_}) == 0) {
      parts_.encoder->request_idr();
    }
    repeat_ = true;
    return true;
  }

  no_change_run_ = 0;
  have_frame_ = true;
  switch (status) {
    case CaptureStatus::kRecreated:
      clock_.sleep_us(kRecreatedPauseUs);
      return false;
    case CaptureStatus::kFailed:
      ++skipped_window_;
      clock_.sleep_us(kFailedPauseUs);
      return false;
    case CaptureStatus::kNewFrame:
      break;
    default:
      ++skipped_window_;
      return false;
  }

  repeat_ = false;
  const uint64_t now = clock_.now_us();
  if (now > next_us_ + 2 * interval_us_) {
    // Captured too late to be worth encoding: skip it and rebase the schedule.
    next_us_ = now;
    parts_.capture->release_frame();
    ++skipped_window_;
    return false;
  }
  return true;
}

void FrameLoop::send_frame() {
  const uint64_t t0 = clock_.now_us();
  sealed_.clear();
  for (network::Packet& packet : packets_) {
    const size_t length = packet.payload.size();
    if (scratch_.size() < length + network::Encryption::kTagSize) scratch_.resize(length + network::Encryption::kTagSize);
    size_t sealed_length = 0;
    if (!parts_.encryption->encrypt_packet(packet.header, packet.payload.data(), length, scratch_.data(),
                                           &sealed_length)) {
      ++totals_.encrypt_drops;
      if (log_occurrence(totals_.encrypt_drops)) {
        spdlog::warn("Dropping video packet (encrypt failed), total={}", totals_.encrypt_drops);
      }
      continue;
    }
    packet.payload.assign(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(sealed_length));
    sealed_.push_back(std::move(packet));
  }
  const uint64_t t1 = clock_.now_us();
  totals_.stages.seal_us += t1 - t0;
  if (sealed_.empty()) {
    ++skipped_window_;  // nothing of it left: not a frame sent
    return;
  }
  parts_.send(sealed_);
  const uint64_t t2 = clock_.now_us();
  totals_.stages.enqueue_us += t2 - t1;
  ++totals_.stages.frames;

  totals_.queued_total += sealed_.size();
  ++frames_window_;
  ++totals_.frames_total;

  if (repeat_ && frames_window_ % 10 == 1) {
    const uint64_t bytes = parts_.counters ? parts_.counters().video_bytes_sent : 0;
    spdlog::debug("Heartbeat sent: frame={} pkts={} bytes_total={}", encoded_.frame_number, sealed_.size(), bytes);
  }
}

void FrameLoop::log_stats_if_due() {
  const uint64_t now = clock_.now_us();
  const uint64_t elapsed = now - window_start_us_;
  if (elapsed < kStatsWindowUs) return;
  const MediaCounters c = parts_.counters ? parts_.counters() : MediaCounters{};
  spdlog::info(
      "Stats: {:.1f} fps, {} skipped, {:.1f} MB sent, pkts_queued={}, pkts_sent={}, send_errs={}, input={} applied, "
      "audio_sent={}",
      static_cast<double>(frames_window_) / (static_cast<double>(elapsed) / 1'000'000.0), skipped_window_,
      static_cast<double>(c.video_bytes_sent) / 1048576.0, totals_.queued_total, c.video_packets_sent,
      c.video_send_errors, c.input_events_applied, c.audio_packets_sent);
  frames_window_ = 0;
  skipped_window_ = 0;
  window_start_us_ = clock_.now_us();
}

}  // namespace vn
