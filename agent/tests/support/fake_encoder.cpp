#include "support/fake_encoder.h"

namespace vn::test {

bool FakeEncoder::initialize(const capture::DeviceHandle& device, const encode::EncoderConfig& c) {
  config = c;
  return initialize_ok && device.valid();
}

bool FakeEncoder::encode(const capture::CapturedFrame& frame, encode::EncodedFrame& out) {
  if (on_encode) on_encode();
  const uint64_t start = clock_ ? clock_->now_us() : 0;
  if (clock_) clock_->advance(encode_cost_us_);
  const bool key = idr_pending_.exchange(false);
  encoded.push_back({start, frame.frame_number, key});
  if (!encode_ok) return false;
  out.data.assign(100, 0x42);
  out.frame_number = frame.frame_number;
  out.capture_timestamp_us = frame.timestamp_us;
  out.key_frame = key;
  out.width = 4;
  out.height = 4;
  return true;
}

encode::EncoderInfo FakeEncoder::info() const {
  encode::EncoderInfo info;
  info.h264 = 1;
  info.name = "fake encoder";
  return info;
}

}  // namespace vn::test
