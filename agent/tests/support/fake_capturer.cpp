#include "support/fake_capturer.h"

#include <algorithm>
#include <utility>

namespace vn::test {

using capture::CaptureStatus;

FakeCapturer::FakeCapturer(std::vector<CaptureStatus> script, FakeClock* clock, uint64_t capture_cost_us)
    : script_(std::move(script)), clock_(clock), capture_cost_us_(capture_cost_us), pixels_(4 * 4 * 4, 0x80) {}

void FakeCapturer::fill(capture::CapturedFrame& out) {
  out.picture = {pixels_.data(), 4, 4, 16, capture::PixelOrder::kBgra};
  out.frame_number = ++frame_number_;
  out.timestamp_us = clock_ ? clock_->now_us() : 0;
  out.width = 4;
  out.height = 4;
}

CaptureStatus FakeCapturer::capture_frame(capture::CapturedFrame& out) {
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

CaptureStatus FakeCapturer::repeat_last_frame(capture::CapturedFrame& out) {
  if (!have_picture_) return CaptureStatus::kFailed;
  ++repeats;
  fill(out);
  return CaptureStatus::kNewFrame;
}

}  // namespace vn::test
