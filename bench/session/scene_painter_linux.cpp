#include "session/scene_painter_linux.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace vn::bench {
namespace {

constexpr uint32_t kScrollPixelsPerSecond = 240;

}  // namespace

ScenePainter::~ScenePainter() {
  thread_ = {};  // requests stop and joins
  if (display_ != nullptr) {
    XFreeGC(display_, gc_);
    XFreePixmap(display_, texture_);
    XCloseDisplay(display_);
  }
}

bool ScenePainter::start(const std::string& display_name) {
  display_ = XOpenDisplay(display_name.c_str());
  if (display_ == nullptr) return false;
  root_ = DefaultRootWindow(display_);
  gc_ = XCreateGC(display_, root_, 0, nullptr);
  upload_texture();
  XSetForeground(display_, gc_, 0x202428);
  XFillRectangle(display_, root_, gc_, 0, 0, width_, height_);
  paint(0);
  XSync(display_, False);
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
  return true;
}

void ScenePainter::upload_texture() {
  const uint32_t tex_width = 2 * width_;
  const uint32_t tex_height = scene_height();
  texture_ = XCreatePixmap(display_, root_, tex_width, tex_height, 24);
  std::vector<uint32_t> pixels(size_t{tex_width} * tex_height);
  for (uint32_t y = 0; y < tex_height; ++y) {
    for (uint32_t x = 0; x < tex_width; ++x) {
      const uint32_t u = x % width_;
      uint32_t hash = u * 2654435761u ^ y * 2246822519u;
      hash ^= hash >> 15;
      const int grain = static_cast<int>(hash & 31) - 16;
      const int band = ((u / 24 + y / 16) % 8) * 6;
      const auto channel = [&](int base) { return static_cast<uint32_t>(std::clamp(base + band + grain, 0, 255)); };
      const uint32_t r = channel(static_cast<int>(u * 200 / width_));
      const uint32_t g = channel(static_cast<int>(y * 200 / tex_height));
      const uint32_t b = channel(static_cast<int>(((u + y) % 512) / 3));
      pixels[size_t{y} * tex_width + x] = r << 16 | g << 8 | b;
    }
  }
  XImage* image = XCreateImage(display_, DefaultVisual(display_, DefaultScreen(display_)), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(pixels.data()), tex_width, tex_height, 32, 0);
  XPutImage(display_, texture_, gc_, image, 0, 0, 0, 0, tex_width, tex_height);
  image->data = nullptr;  // the vector owns the pixels
  XDestroyImage(image);
}

void ScenePainter::paint(uint64_t n) {
  const uint32_t scene = scene_height();
  const uint64_t offset = n * kScrollPixelsPerSecond / fps_ % width_;
  XCopyArea(display_, texture_, root_, gc_, static_cast<int>(offset), 0, width_, scene, 0, 0);
  const uint32_t box_w = width_ / 8;
  const uint32_t box_h = scene / 6;
  for (uint32_t i = 0; i < 6; ++i) {
    const uint64_t span_x = width_ - box_w;
    const uint64_t span_y = scene - box_h;
    const uint64_t px = (n * (7 + 3 * i) + i * 157) % (2 * span_x);
    const uint64_t py = (n * (5 + 2 * i) + i * 97) % (2 * span_y);
    const auto x = static_cast<int>(px < span_x ? px : 2 * span_x - px);
    const auto y = static_cast<int>(py < span_y ? py : 2 * span_y - py);
    XSetForeground(display_, gc_, 0x3060A0 + (i * 0x251709 + n * 0x010203) % 0x9F9F5F);
    XFillRectangle(display_, root_, gc_, x, y, box_w, box_h);
  }
  XSetForeground(display_, gc_, 0x202428);
  XFillRectangle(display_, root_, gc_, 0, static_cast<int>(scene), width_, height_ - scene);
  XSetForeground(display_, gc_, 0xE0C040);
  XFillRectangle(display_, root_, gc_, 16, static_cast<int>(scene) + 8, static_cast<unsigned>(16 + n % 240) * 4,
                 (height_ - scene) / 3);
}

void ScenePainter::run(const std::stop_token& stop) {
  const auto period = std::chrono::microseconds(1'000'000 / fps_);
  auto next = std::chrono::steady_clock::now();
  for (uint64_t n = 1; !stop.stop_requested(); ++n) {
    next += period;
    std::this_thread::sleep_until(next);
    paint(n);
    XSync(display_, False);  // one frame's drawing done before the next
    painted_.store(n);
  }
}

}  // namespace vn::bench
