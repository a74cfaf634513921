#pragma once

// The session's parts with stopwatches: a loop clock that catches the frame
// loop's own clock reads around packetizing and sealing, and the X11 capturer
// and software encoder timing each call. Main thread only.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "capture/desktop_capturer.h"
#include "core/base/clock.h"
#include "core/base/loop_clock.h"
#include "encode/software_encoder.h"
#include "session/samples.h"

namespace vn::bench {

using capture::CaptureStatus;
using capture::DesktopCapturer;

// Per-frame stage samples. The loop's StageTimes are sums; these are the same
// stages one frame at a time, for the medians.
struct StageSamples {
  Samples capture, encode, packetize, seal, enqueue;
  uint64_t unsplit_frames = 0;  // frames whose packetize/seal could not be told apart
};

// Time of the stages of the frame being built, until it reaches the sender.
struct PendingFrame {
  uint64_t capture_us = 0;  // every capture call since the last frame went out
  uint64_t encode_us = 0;   // every encode call since then (skipped pictures included)
};

// The loop clock with a probe: after an encode that produced a picture, it
// keeps the loop's next clock reads. The loop reads the clock at the end of
// the encode, at the end of packetizing, and around sealing, so four reads lie
// between the encoder's return and the send callback; their differences are
// exactly the loop's packetize and seal figures for that frame.
class ProbeClock final : public LoopClock {
 public:
  uint64_t now_us() override {
    const uint64_t now = vn::now_us();
    if (armed_) {
      if (count_ < reads_.size()) reads_[count_] = now;
      ++count_;
    }
    return now;
  }
  void sleep_us(uint64_t duration_us) override { system_loop_clock().sleep_us(duration_us); }
  void spin() override { system_loop_clock().spin(); }

  void arm() {
    armed_ = true;
    count_ = 0;
  }
  void disarm() { armed_ = false; }

  // At the send callback: the frame's packetize and seal times, when the
  // reads since the encode are the expected four.
  std::optional<std::pair<uint64_t, uint64_t>> take() {
    const bool ok = armed_ && count_ == reads_.size();
    armed_ = false;
    if (!ok) return std::nullopt;
    return std::make_pair(reads_[1] - reads_[0], reads_[3] - reads_[2]);
  }

 private:
  bool armed_ = false;
  size_t count_ = 0;
  std::array<uint64_t, 4> reads_{};
};

// The X11 capturer, timing each capture_frame() call.
class TimedCapturer final : public DesktopCapturer {
 public:
  TimedCapturer(std::unique_ptr<DesktopCapturer> inner, PendingFrame& pending)
      : inner_(std::move(inner)), pending_(pending) {}

  bool initialize() override { return inner_->initialize(); }
  bool select_output(uint32_t index) override { return inner_->select_output(index); }
  CaptureStatus capture_frame(capture::CapturedFrame& out) override {
    const uint64_t t0 = now_us();
    const CaptureStatus status = inner_->capture_frame(out);
    pending_.capture_us += now_us() - t0;
    if (status == CaptureStatus::kNewFrame) ++new_frames;
    if (status == CaptureStatus::kNoChange) ++no_change;
    return status;
  }
  CaptureStatus repeat_last_frame(capture::CapturedFrame& out) override { return inner_->repeat_last_frame(out); }
  void release_frame() override { inner_->release_frame(); }
  capture::DeviceHandle device() const override { return inner_->device(); }
  uint32_t width() const override { return inner_->width(); }
  uint32_t height() const override { return inner_->height(); }
  std::string backend_name() const override { return inner_->backend_name(); }

  DesktopCapturer& inner() { return *inner_; }

  uint64_t new_frames = 0;
  uint64_t no_change = 0;

 private:
  std::unique_ptr<DesktopCapturer> inner_;
  PendingFrame& pending_;
};

// The software encoder, timing each encode() call and arming the probe clock.
class TimedEncoder final : public encode::IVideoEncoder {
 public:
  TimedEncoder(PendingFrame& pending, ProbeClock& clock) : pending_(pending), clock_(clock) {}

  bool initialize(const capture::DeviceHandle& device, const encode::EncoderConfig& config) override {
    return inner_.initialize(device, config);
  }
  bool encode(const capture::CapturedFrame& frame, encode::EncodedFrame& out) override {
    const uint64_t t0 = now_us();
    const bool encoded = inner_.encode(frame, out);
    pending_.encode_us += now_us() - t0;
    if (encoded) {
      clock_.arm();
      if (out.key_frame) ++key_frames;
    } else {
      clock_.disarm();
      ++skipped;
    }
    return encoded;
  }
  void request_idr() override { inner_.request_idr(); }
  void reconfigure_bitrate(uint32_t bitrate_bps) override { inner_.reconfigure_bitrate(bitrate_bps); }
  bool reconfigure_resolution(uint32_t width, uint32_t height) override {
    return inner_.reconfigure_resolution(width, height);
  }
  encode::EncoderInfo info() const override { return inner_.info(); }
  void shutdown() override { inner_.shutdown(); }

  uint64_t skipped = 0;     // pictures the encoder produced nothing for
  uint64_t key_frames = 0;  // key frames among the pictures encoded

 private:
  encode::SoftwareEncoder inner_;
  PendingFrame& pending_;
  ProbeClock& clock_;
};

}  // namespace vn::bench
