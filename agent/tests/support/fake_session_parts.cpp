#include "support/fake_session_parts.h"

namespace vn::test {

using capture::CaptureStatus;

FakeCapturer::FakeCapturer(std::vector<CaptureStatus> script, FakeClock* clock, uint64_t capture_cost_us)
    : script_(std::move(script)), clock_(clock), capture_cost_us_(capture_cost_us), pixels_(4 * 4 * 4, 0x80) {}

void FakeCapturer::fill(encode::CapturedFrame& out) {
  out.picture = {pixels_.data(), 4, 4, 16, encode::PixelOrder::kBgra};
  out.frame_number = ++frame_number_;
  out.timestamp_us = clock_ ? clock_->now_us() : 0;
  out.width = 4;
  out.height = 4;
}

CaptureStatus FakeCapturer::capture_frame(encode::CapturedFrame& out) {
  if (on_capture) on_capture();
  if (clock_) clock_->advance(capture_cost_us_);
  const size_t index = static_cast<size_t>(captures++);
  const CaptureStatus status = script_.empty() ? CaptureStatus::kNoChange : script_[std::min(index, script_.size() - 1)];
  if (status == CaptureStatus::kNewFrame) {
    fill(out);
    out.is_new = true;
    have_picture_ = true;
  }
  return status;
}

CaptureStatus FakeCapturer::repeat_last_frame(encode::CapturedFrame& out) {
  if (!have_picture_) return CaptureStatus::kFailed;
  ++repeats;
  fill(out);
  return CaptureStatus::kNewFrame;
}

bool FakeEncoder::initialize(const encode::DeviceHandle& device, const encode::EncoderConfig& c) {
  config = c;
  return initialize_ok && device.valid();
}

bool FakeEncoder::encode(const encode::CapturedFrame& frame, encode::EncodedFrame& out) {
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
