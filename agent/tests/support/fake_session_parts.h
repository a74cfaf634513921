#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/desktop_capturer.h"
#include "core/loop_clock.h"
#include "core/session_backend.h"
#include "encode/video_encoder.h"

namespace vn::test {

// A clock that only moves when the code under test sleeps or spins, or when a
// fake advances it to model the cost of its work.
class FakeClock final : public LoopClock {
 public:
  explicit FakeClock(uint64_t start_us = 1'000'000) : now_(start_us) {}
  uint64_t now_us() override { return now_; }
  void sleep_us(uint64_t duration_us) override {
    now_ += duration_us;
    slept_us_.push_back(duration_us);
  }
  void spin() override { now_ += 10; }
  void advance(uint64_t duration_us) { now_ += duration_us; }
  const std::vector<uint64_t>& sleeps() const { return slept_us_; }

 private:
  uint64_t now_;
  std::vector<uint64_t> slept_us_;
};

// A capturer that plays back a script of statuses; when the script runs out
// it repeats its last entry. New frames carry a 4x4 CPU picture.
class FakeCapturer final : public capture::DesktopCapturer {
 public:
  explicit FakeCapturer(std::vector<capture::CaptureStatus> script = {capture::CaptureStatus::kNewFrame},
                        FakeClock* clock = nullptr, uint64_t capture_cost_us = 0);

  bool initialize() override { return initialize_ok; }
  bool select_output(uint32_t) override { return select_ok; }
  capture::CaptureStatus capture_frame(encode::CapturedFrame& out) override;
  capture::CaptureStatus repeat_last_frame(encode::CapturedFrame& out) override;
  void release_frame() override { ++releases; }
  encode::DeviceHandle device() const override { return encode::DeviceHandle::cpu(); }
  uint32_t width() const override { return 4; }
  uint32_t height() const override { return 4; }
  std::string backend_name() const override { return "fake"; }

  bool initialize_ok = true;
  bool select_ok = true;
  std::function<void()> on_capture;  // optional: runs first in each capture_frame()
  int captures = 0;
  int repeats = 0;
  int releases = 0;

 private:
  void fill(encode::CapturedFrame& out);

  std::vector<capture::CaptureStatus> script_;
  FakeClock* clock_;
  uint64_t capture_cost_us_;
  uint32_t frame_number_ = 0;
  bool have_picture_ = false;
  std::vector<uint8_t> pixels_;
};

// An encoder that turns every frame into a small access unit and records what
// it was asked to do. `on_encode` (optional) runs first in each encode call.
class FakeEncoder final : public encode::IVideoEncoder {
 public:
  struct Encoded {
    uint64_t at_us;  // clock time of the call
    uint32_t frame_number;
    bool key_frame;  // an IDR had been requested since the previous frame
  };

  explicit FakeEncoder(FakeClock* clock = nullptr, uint64_t encode_cost_us = 0)
      : clock_(clock), encode_cost_us_(encode_cost_us) {}

  bool initialize(const encode::DeviceHandle& device, const encode::EncoderConfig& config) override;
  bool encode(const encode::CapturedFrame& frame, encode::EncodedFrame& out) override;
  void request_idr() override { idr_pending_ = true; ++idr_requests; }
  void reconfigure_bitrate(uint32_t bitrate_bps) override { bitrates.push_back(bitrate_bps); }
  bool reconfigure_resolution(uint32_t, uint32_t) override { return true; }
  encode::EncoderInfo info() const override;
  void shutdown() override { ++shutdowns; }

  bool initialize_ok = true;
  bool encode_ok = true;
  std::function<void()> on_encode;
  std::vector<Encoded> encoded;
  std::vector<uint32_t> bitrates;
  std::atomic<int> idr_requests{0};
  int shutdowns = 0;
  encode::EncoderConfig config;

 private:
  FakeClock* clock_;
  uint64_t encode_cost_us_;
  std::atomic<bool> idr_pending_{false};
};

// Records what the session loop reports to the backend. Thread-safe enough
// for one session thread.
class FakeBackend final : public SessionBackend {
 public:
  struct Message {
    std::string type;  // "session_ready", "session_ended" or "error"
    std::string code_or_reason;
    std::string session_id;
  };

  void clear_cached_session_ready() override { ++cache_clears; }
  void send_session_ready(const std::string& session_id, const std::string&, uint16_t, uint16_t, uint16_t) override {
    messages.push_back({"session_ready", "", session_id});
  }
  void send_session_ended(const std::string& session_id, const std::string& reason, uint64_t) override {
    messages.push_back({"session_ended", reason, session_id});
  }
  void send_error(const std::string& code, const std::string&, const std::string& session_id) override {
    messages.push_back({"error", code, session_id});
  }

  std::vector<Message> messages;
  std::atomic<int> cache_clears{0};
};

}  // namespace vn::test
