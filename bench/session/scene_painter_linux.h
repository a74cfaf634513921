#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <string>
#include <thread>

namespace vn::bench {

// Draws a game-like scene on an X display every frame period, on its own X
// connection and thread: a textured picture scrolling under six bouncing
// rectangles, and a counter bar in a status strip.
class ScenePainter {
 public:
  ScenePainter(uint32_t width, uint32_t height, uint32_t fps) : width_(width), height_(height), fps_(fps) {}
  ~ScenePainter();
  ScenePainter(const ScenePainter&) = delete;
  ScenePainter& operator=(const ScenePainter&) = delete;

  // Opens `display_name`, uploads the texture, paints the first frame and
  // starts the thread. False when the display cannot be opened.
  bool start(const std::string& display_name);

  uint64_t frames_painted() const { return painted_.load(); }

 private:
  // The screen below the status strip: the scrolling picture.
  uint32_t scene_height() const { return height_ - height_ / 10; }

  // A picture twice the screen's width whose halves are equal, so a scroll
  // offset in [0, width) always has a whole screen of it: a colour gradient
  // with soft bands and fine grain, detail an encoder has to spend bits on.
  void upload_texture();

  // Frame `n`: the picture scrolled, six rectangles bouncing across it and a
  // counter bar in the status strip.
  void paint(uint64_t n);

  void run(const std::stop_token& stop);

  uint32_t width_;
  uint32_t height_;
  uint32_t fps_;
  Display* display_ = nullptr;
  Window root_ = 0;
  GC gc_{};
  Pixmap texture_ = 0;
  std::atomic<uint64_t> painted_{0};
  std::jthread thread_;  // last: stopped before the members it uses go
};

}  // namespace vn::bench
