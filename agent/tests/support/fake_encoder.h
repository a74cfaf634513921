#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "encode/video_encoder.h"
#include "support/fake_clock.h"

namespace vn::test {

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

  bool initialize(const capture::DeviceHandle& device, const encode::EncoderConfig& config) override;
  bool encode(const capture::CapturedFrame& frame, encode::EncodedFrame& out) override;
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

}  // namespace vn::test
