#pragma once

#include <cstdint>

#include "capture/desktop_capturer.h"

namespace vn::capture {

// One way of capturing an output (desktop duplication, GDI). The Windows
// DesktopCapturer holds one and forwards to it; the calls mean what the
// DesktopCapturer calls of the same names mean. Session thread only.
class CaptureBackend {
 public:
  virtual ~CaptureBackend() = default;

  virtual CaptureStatus capture_frame(capture::CapturedFrame& out) = 0;
  virtual CaptureStatus repeat_last_frame(capture::CapturedFrame& out) = 0;
  virtual void release_frame() = 0;
  virtual uint32_t width() const = 0;
  virtual uint32_t height() const = 0;
  // "DXGI" or "GDI".
  virtual const char* name() const = 0;
};

}  // namespace vn::capture
