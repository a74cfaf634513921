#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "capture/capture_backend_win.h"
#include "capture/d3d11_device_win.h"
#include "core/base/log_limit.h"

namespace vn::capture {

// Captures a desktop area with GDI, for when desktop duplication is
// unavailable (remote sessions, some virtual machines, Wine): BitBlt of the
// screen into a DIB section, the cursor drawn in with DrawIconEx, and the
// picture uploaded into a BGRA texture of the session's device (alpha forced
// opaque). GDI reports no changes, so each picture is compared with the last
// delivered one: an equal picture is kNoChange, otherwise the changed tiles
// are the dirty rectangles and only they are uploaded.
//
// The delivered texture belongs to the capture and is rewritten by the next
// capture_frame(); release_frame() has nothing to give back. Session thread
// only.
class GdiCapture final : public CaptureBackend {
 public:
  explicit GdiCapture(const D3D11Device& device);
  ~GdiCapture() override;
  GdiCapture(const GdiCapture&) = delete;
  GdiCapture& operator=(const GdiCapture&) = delete;

  // Starts capturing `area` (screen coordinates). False, logged, when the
  // screen can't be read or the picture buffers can't be made.
  bool open(const RECT& area);

  CaptureStatus capture_frame(capture::CapturedFrame& out) override;
  CaptureStatus repeat_last_frame(capture::CapturedFrame& out) override;
  void release_frame() override {}
  uint32_t width() const override { return width_; }
  uint32_t height() const override { return height_; }
  const char* name() const override { return "GDI"; }

 private:
  // Screen plus cursor into the DIB. False, logged (limited), on failure.
  bool grab();
  void close();
  // Fills `out` with the texture as the next frame.
  void deliver(capture::CapturedFrame& out, std::vector<capture::DirtyRect> dirty_rects);

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  RECT area_{};
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  HDC memory_dc_ = nullptr;
  HBITMAP dib_ = nullptr;
  HGDIOBJ previous_bitmap_ = nullptr;
  uint8_t* dib_pixels_ = nullptr;  // top-down BGRA rows of width_ * 4 bytes, owned by dib_
  std::vector<uint8_t> last_;      // the last delivered picture; empty before the first
  ComPtr<ID3D11Texture2D> texture_;
  uint32_t frame_counter_ = 0;
  LogLimit grab_failures_;
};

}  // namespace vn::capture
