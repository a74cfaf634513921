#include "capture/x11_screen_image_linux.h"

#include <spdlog/fmt/fmt.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <X11/Xutil.h>

#include <bit>
#include <cstring>

#include "capture/x11_errors_linux.h"

namespace vn::capture {
namespace {

// Empty when the default screen stores pixels as 32-bit little-endian
// 0x??RRGGBB (B, G, R, X in memory); otherwise what is different.
std::string bgrx_mismatch(Display* display) {
  if constexpr (std::endian::native != std::endian::little) return "big-endian host";
  const int screen = DefaultScreen(display);
  const Visual* visual = DefaultVisual(display, screen);
  const int depth = DefaultDepth(display, screen);
  if (visual->c_class != TrueColor || visual->red_mask != 0xFF0000 || visual->green_mask != 0xFF00 ||
      visual->blue_mask != 0xFF) {
    return "the default visual is not 8-bit TrueColor RGB";
  }
  if (ImageByteOrder(display) != LSBFirst) return "the server stores pixels MSB first";
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(display, &count);
  int bits_per_pixel = 0;
  for (int i = 0; i < count; ++i) {
    if (formats[i].depth == depth) bits_per_pixel = formats[i].bits_per_pixel;
  }
  if (formats != nullptr) XFree(formats);
  if (bits_per_pixel != 32) return fmt::format("depth {} has {} bits per pixel, not 32", depth, bits_per_pixel);
  return {};
}

}  // namespace

X11ScreenImage::~X11ScreenImage() { close(false); }

bool X11ScreenImage::create(Display* display, uint32_t width, uint32_t height, bool try_shm) {
  close(true);
  error_.clear();
  if (display == nullptr || width == 0 || height == 0) {
    error_ = "no display or an empty screen";
    return false;
  }
  if (const std::string why = bgrx_mismatch(display); !why.empty()) {
    error_ = "unsupported screen format: " + why;
    return false;
  }
  display_ = display;
  width_ = width;
  height_ = height;
  fallback_reason_.clear();
  if (try_shm && create_shm(width, height)) return true;
  if (!try_shm) fallback_reason_ = "the server has no MIT-SHM";
  plain_pixels_.assign(size_t(width) * height, 0);
  pixels_ = reinterpret_cast<const uint8_t*>(plain_pixels_.data());
  bytes_per_line_ = size_t(width) * 4;
  return true;
}

bool X11ScreenImage::create_shm(uint32_t width, uint32_t height) {
  const int screen = DefaultScreen(display_);
  shm_image_ = XShmCreateImage(display_, DefaultVisual(display_, screen), DefaultDepth(display_, screen), ZPixmap,
                               nullptr, &shm_info_, width, height);
  if (shm_image_ == nullptr || shm_image_->bits_per_pixel != 32) {
    fallback_reason_ = "XShmCreateImage failed";
    release_shm(true);
    return false;
  }
  const size_t bytes = size_t(shm_image_->bytes_per_line) * height;
  shm_info_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (shm_info_.shmid < 0) {
    fallback_reason_ = fmt::format("shmget of {} bytes failed: {}", bytes, std::strerror(errno));
    release_shm(true);
    return false;
  }
  void* address = shmat(shm_info_.shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    fallback_reason_ = fmt::format("shmat failed: {}", std::strerror(errno));
    shmctl(shm_info_.shmid, IPC_RMID, nullptr);
    release_shm(true);
    return false;
  }
  shm_info_.shmaddr = static_cast<char*>(address);
  shm_image_->data = shm_info_.shmaddr;
  shm_info_.readOnly = False;

  X11ErrorTrap trap(display_);
  XShmAttach(display_, &shm_info_);
  const bool failed = trap.sync_failed();
  // Marked for removal as soon as the server has attached (or refused): the
  // segment then goes away with the last detach, even if this process crashes.
  shmctl(shm_info_.shmid, IPC_RMID, nullptr);
  if (failed) {
    // A server on another machine cannot see our memory (BadAccess).
    fallback_reason_ = fmt::format("XShmAttach failed (X error {})", trap.error_code());
    release_shm(true);
    return false;
  }
  shm_attached_ = true;
  pixels_ = reinterpret_cast<const uint8_t*>(shm_image_->data);
  bytes_per_line_ = size_t(shm_image_->bytes_per_line);
  return true;
}

bool X11ScreenImage::grab(Window root) {
  if (display_ == nullptr) return false;
  if (!shm_attached_) return grab_plain(root);
  return XShmGetImage(display_, root, shm_image_, 0, 0, AllPlanes) != False;
}

bool X11ScreenImage::grab_plain(Window root) {
  XImage* image = XGetImage(display_, root, 0, 0, width_, height_, AllPlanes, ZPixmap);
  if (image == nullptr) return false;
  const bool usable = image->bits_per_pixel == 32 && uint32_t(image->width) == width_ &&
                      uint32_t(image->height) == height_ && image->byte_order == LSBFirst;
  if (usable) {
    for (uint32_t y = 0; y < height_; ++y) {
      std::memcpy(plain_pixels_.data() + size_t(y) * width_, image->data + size_t(y) * image->bytes_per_line,
                  size_t(width_) * 4);
    }
  }
  XDestroyImage(image);
  return usable;
}

void X11ScreenImage::release_shm(bool connection_alive) {
  if (shm_attached_ && connection_alive && display_ != nullptr) XShmDetach(display_, &shm_info_);
  shm_attached_ = false;
  if (shm_image_ != nullptr) {
    shm_image_->data = nullptr;  // the segment is not Xlib's to free
    XDestroyImage(shm_image_);
    shm_image_ = nullptr;
  }
  if (shm_info_.shmaddr != nullptr) shmdt(shm_info_.shmaddr);
  shm_info_ = {};
}

void X11ScreenImage::close(bool connection_alive) {
  release_shm(connection_alive);
  plain_pixels_ = {};
  pixels_ = nullptr;
  bytes_per_line_ = 0;
  width_ = height_ = 0;
  display_ = nullptr;
}

}  // namespace vn::capture
