#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/desktop_capturer.h"
#include "support/fake_clock.h"

namespace vn::test {

// A capturer that plays back a script of statuses; when the script runs out
// it repeats its last entry. New frames carry a 4x4 CPU picture.
class FakeCapturer final : public capture::DesktopCapturer {
 public:
  explicit FakeCapturer(std::vector<capture::CaptureStatus> script = {capture::CaptureStatus::kNewFrame},
                        FakeClock* clock = nullptr, uint64_t capture_cost_us = 0);

  bool initialize() override { return initialize_ok; }
  bool select_output(uint32_t) override { return select_ok; }
  capture::CaptureStatus capture_frame(capture::CapturedFrame& out) override;
  capture::CaptureStatus repeat_last_frame(capture::CapturedFrame& out) override;
  void release_frame() override { ++releases; }
  capture::DeviceHandle device() const override { return capture::DeviceHandle::cpu(); }
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
  void fill(capture::CapturedFrame& out);

  std::vector<capture::CaptureStatus> script_;
  FakeClock* clock_;
  uint64_t capture_cost_us_;
  uint32_t frame_number_ = 0;
  bool have_picture_ = false;
  std::vector<uint8_t> pixels_;
};

}  // namespace vn::test
