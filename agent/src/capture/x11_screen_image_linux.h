#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vn::capture {

// A copy of the root window's pixels, refreshed by grab(): a MIT-SHM segment
// shared with the server when it can be attached, otherwise XGetImage copied
// into memory of our own. Pixels are 32-bit little-endian 0x??RRGGBB (BGRX in
// memory); other visuals are refused. Used on the capture thread only.
class X11ScreenImage {
 public:
  X11ScreenImage() = default;
  ~X11ScreenImage();
  X11ScreenImage(const X11ScreenImage&) = delete;
  X11ScreenImage& operator=(const X11ScreenImage&) = delete;

  // Makes the image for width x height pixels of `display`'s default screen,
  // over MIT-SHM when `try_shm` and the server can attach our segment. False
  // when the screen's format is not 32-bit BGRX (see error()). Closes a
  // previous image first, over the live connection.
  bool create(Display* display, uint32_t width, uint32_t height, bool try_shm);

  // Why the last create() failed, for the logs.
  const std::string& error() const { return error_; }

  // Copies the root window's pixels at (0, 0) into the image; false when the
  // server refused (the screen shrank: BadMatch) or the connection broke.
  bool grab(Window root);

  // Gives the segment back. `connection_alive` false skips the requests
  // (XShmDetach) a broken connection cannot carry. Harmless twice.
  void close(bool connection_alive);

  bool uses_shm() const { return shm_attached_; }
  // Why MIT-SHM is not in use after create(), for the logs; empty when it is.
  const std::string& shm_fallback_reason() const { return fallback_reason_; }

  const uint32_t* row(uint32_t y) const {
    return reinterpret_cast<const uint32_t*>(pixels_ + size_t(y) * bytes_per_line_);
  }

 private:
  bool create_shm(uint32_t width, uint32_t height);
  bool grab_plain(Window root);
  void release_shm(bool connection_alive);

  Display* display_ = nullptr;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  XImage* shm_image_ = nullptr;
  XShmSegmentInfo shm_info_{};
  bool shm_attached_ = false;
  std::vector<uint32_t> plain_pixels_;  // XGetImage fallback
  const uint8_t* pixels_ = nullptr;
  size_t bytes_per_line_ = 0;
  std::string fallback_reason_;
  std::string error_;
};

}  // namespace vn::capture
