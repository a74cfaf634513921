#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/captured_frame.h"

namespace vn::capture {

// What capture_frame() found; the numbers are the capture statuses of the
// session's logs.
enum class CaptureStatus : int {
  kNewFrame = 0,   // a new picture is in the frame
  kNoChange = 1,   // nothing changed since the last frame; repeat_last_frame() may re-send it
  kRecreated = 2,  // the capture was lost and has been re-created; no frame this time
  kFailed = 3,     // no frame; the capturer stays usable and tries again next call
};

// Captures one desktop output with the mouse cursor drawn in. Used by the
// session thread only.
class DesktopCapturer {
 public:
  // The platform's capturer: on Windows desktop duplication with a GDI
  // fallback, on Linux the X11 display named by $DISPLAY.
  static std::unique_ptr<DesktopCapturer> Create();

  virtual ~DesktopCapturer() = default;

  // Opens the graphics device / display connection. False (logged) on failure.
  virtual bool initialize() = 0;

  // Starts capturing output `index` (0 in every session). False (logged) on failure.
  virtual bool select_output(uint32_t index) = 0;

  // Fills `out` with a new frame when there is one. Never blocks. A frame
  // returned with kNewFrame stays valid until release_frame() or the next
  // capture_frame().
  virtual CaptureStatus capture_frame(capture::CapturedFrame& out) = 0;

  // Re-delivers the last composed picture as a new frame (next frame number,
  // current time, no dirty rectangles); kFailed when there is none yet.
  virtual CaptureStatus repeat_last_frame(capture::CapturedFrame& out) = 0;

  // Gives back the frame of the last capture_frame(); harmless without one.
  virtual void release_frame() = 0;

  // The device the encoders read the frames with; valid after initialize().
  virtual capture::DeviceHandle device() const = 0;

  // The selected output's size in pixels; 0 before select_output().
  virtual uint32_t width() const = 0;
  virtual uint32_t height() const = 0;

  // Short name of the backend in use ("DXGI", "GDI", "X11"), for the logs.
  virtual std::string backend_name() const = 0;
};

}  // namespace vn::capture
