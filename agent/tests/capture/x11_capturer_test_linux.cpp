// The X11 capturer against a private Xvfb server: the test draws with Xlib on
// the root window through a connection of its own and reads the result back.
#include <gtest/gtest.h>
#include <unistd.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "capture/desktop_capturer.h"
#include "support/xvfb_linux.h"

namespace vn::capture {
namespace {

using capture::CapturedFrame;
using capture::DirtyRect;
using test::ScopedEnv;
using test::XvfbOptions;
using test::XvfbServer;

constexpr uint32_t kWidth = 640;
constexpr uint32_t kHeight = 480;
constexpr uint32_t kBackground = 0x203040;  // 0xRRGGBB
constexpr uint32_t kCursorColour = 0xFF00FF;
constexpr int kCursorSize = 16;
constexpr int kCursorHot = 8;

std::array<uint8_t, 4> bgra(uint32_t rgb) {
  return {uint8_t(rgb), uint8_t(rgb >> 8), uint8_t(rgb >> 16), 255};
}

std::array<uint8_t, 4> pixel(const CapturedFrame& frame, uint32_t x, uint32_t y) {
  const uint8_t* p = frame.picture.pixels + size_t(y) * frame.picture.row_pitch + size_t(x) * 4;
  return {p[0], p[1], p[2], p[3]};
}

bool contains(const DirtyRect& r, int32_t x, int32_t y) {
  return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

bool covered(const std::vector<DirtyRect>& rects, int32_t x, int32_t y) {
  for (const auto& r : rects) {
    if (contains(r, x, y)) return true;
  }
  return false;
}

// Whether every pixel of `area` is in one of `rects`.
bool covers(const std::vector<DirtyRect>& rects, const DirtyRect& area) {
  for (int32_t y = area.top; y < area.bottom; ++y) {
    for (int32_t x = area.left; x < area.right; ++x) {
      if (!covered(rects, x, y)) return false;
    }
  }
  return true;
}

DirtyRect cursor_area(int x, int y) {
  return {x - kCursorHot, y - kCursorHot, x - kCursorHot + kCursorSize, y - kCursorHot + kCursorSize};
}

// The test's own connection, drawing on the root window.
class Painter {
 public:
  ~Painter() { close(); }

  bool open(const std::string& name) {
    display_ = XOpenDisplay(name.c_str());
    if (display_ == nullptr) return false;
    root_ = DefaultRootWindow(display_);
    gc_ = XCreateGC(display_, root_, 0, nullptr);
    return true;
  }

  void close() {
    if (display_ == nullptr) return;
    XFreeGC(display_, gc_);
    XCloseDisplay(display_);
    display_ = nullptr;
  }

  // Fills a rectangle and waits until the server has drawn it.
  void fill(int x, int y, unsigned width, unsigned height, uint32_t rgb) {
    XSetForeground(display_, gc_, rgb);
    XFillRectangle(display_, root_, gc_, x, y, width, height);
    XSync(display_, False);
  }

  void warp(int x, int y) {
    XWarpPointer(display_, None, root_, 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

  // A solid kCursorSize square of `rgb` with its hot spot in the middle, as
  // the root window's cursor.
  void define_solid_cursor(uint32_t rgb) {
    const Pixmap bits = XCreatePixmap(display_, root_, kCursorSize, kCursorSize, 1);
    GC gc = XCreateGC(display_, bits, 0, nullptr);
    XSetForeground(display_, gc, 1);
    XFillRectangle(display_, bits, gc, 0, 0, kCursorSize, kCursorSize);
    XColor fg{};
    fg.red = uint16_t(((rgb >> 16) & 0xFF) * 0x101);
    fg.green = uint16_t(((rgb >> 8) & 0xFF) * 0x101);
    fg.blue = uint16_t((rgb & 0xFF) * 0x101);
    fg.flags = DoRed | DoGreen | DoBlue;
    XColor bg = fg;
    const Cursor cursor = XCreatePixmapCursor(display_, bits, bits, &fg, &bg, kCursorHot, kCursorHot);
    XDefineCursor(display_, root_, cursor);
    XFreeCursor(display_, cursor);
    XFreeGC(display_, gc);
    XFreePixmap(display_, bits);
    XSync(display_, False);
  }

  // Resizes the screen with RandR. Xvfb accepts sizes up to its start size
  // once its only CRTC is switched off (the screen must contain every CRTC).
  bool resize(unsigned width, unsigned height) {
    XRRScreenResources* resources = XRRGetScreenResources(display_, root_);
    if (resources == nullptr) return false;
    if (resources->ncrtc > 0) {
      XRRSetCrtcConfig(display_, resources, resources->crtcs[0], CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
    }
    XRRFreeScreenResources(resources);
    XRRSetScreenSize(display_, root_, int(width), int(height), int(width / 4), int(height / 4));
    XSync(display_, False);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, root_, &attributes);
    return attributes.width == int(width) && attributes.height == int(height);
  }

 private:
  Display* display_ = nullptr;
  Window root_ = 0;
  GC gc_{};
};

// Shared memory segments this process created that still exist.
int own_shm_segments() {
  std::ifstream file("/proc/sysvipc/shm");
  std::string line;
  std::getline(file, line);  // header: key shmid perms size cpid ...
  int count = 0;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    long long key = 0, shmid = 0, perms = 0, size = 0, cpid = 0;
    if (fields >> key >> shmid >> perms >> size >> cpid && cpid == getpid()) ++count;
  }
  return count;
}

class X11CapturerTest : public ::testing::Test {
 protected:
  // Starts Xvfb, points $DISPLAY at it, opens the painter, covers the screen
  // with kBackground and parks the pointer in the bottom-right corner.
  void start_server(XvfbOptions options = {}) {
    options.width = kWidth;
    options.height = kHeight;
    ASSERT_TRUE(server_.start(options)) << "Xvfb did not start (scripts/install-deps.sh installs it)";
    env_.emplace("DISPLAY", server_.display_name().c_str());
    ASSERT_TRUE(painter_.open(server_.display_name()));
    painter_.fill(0, 0, kWidth, kHeight, kBackground);
    painter_.warp(kWidth - 1, kHeight - 1);
  }

  // initialize() and select_output(0) on the server.
  void start_capturer() {
    capturer_ = DesktopCapturer::Create();
    ASSERT_TRUE(capturer_->initialize());
    ASSERT_TRUE(capturer_->select_output(0));
  }

  // Captures until the first frame is in, so that later calls see only what the test changes.
  void take_first_frame() {
    ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
    ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNoChange);
  }

  // Declared in the order they must be torn down backwards: capturer first, server last.
  XvfbServer server_;
  std::optional<ScopedEnv> env_;
  Painter painter_;
  std::unique_ptr<DesktopCapturer> capturer_;
  CapturedFrame frame_;
};

TEST_F(X11CapturerTest, MissingDisplayFailsInitialize) {
  // Nothing listens on display 4242.
  for (const char* display : {static_cast<const char*>(nullptr), ":4242"}) {
    SCOPED_TRACE(display == nullptr ? "unset" : display);
    ScopedEnv env("DISPLAY", display);
    auto capturer = DesktopCapturer::Create();
    EXPECT_FALSE(capturer->initialize());
    EXPECT_FALSE(capturer->select_output(0));
    EXPECT_EQ(capturer->capture_frame(frame_), CaptureStatus::kFailed);
    EXPECT_EQ(capturer->repeat_last_frame(frame_), CaptureStatus::kFailed);
    EXPECT_EQ(capturer->width(), 0u);
  }
}

TEST_F(X11CapturerTest, ReportsItselfAndRefusesMisuseBeforeTheFirstFrame) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  capturer_ = DesktopCapturer::Create();
  ASSERT_TRUE(capturer_->initialize());
  EXPECT_EQ(capturer_->backend_name(), "X11");
  EXPECT_EQ(capturer_->device().kind, capture::DeviceHandle::Kind::kCpu);
  EXPECT_EQ(capturer_->width(), 0u);
  EXPECT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kFailed);  // no output selected
  EXPECT_FALSE(capturer_->select_output(1));
  ASSERT_TRUE(capturer_->select_output(0));
  EXPECT_EQ(capturer_->width(), kWidth);
  EXPECT_EQ(capturer_->height(), kHeight);
  EXPECT_EQ(capturer_->repeat_last_frame(frame_), CaptureStatus::kFailed);
  EXPECT_FALSE(frame_.has_pixels());
}

TEST_F(X11CapturerTest, DrawnColoursComeBackExactly) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  struct Patch {
    int x, y;
    uint32_t rgb;
  };
  const std::vector<Patch> patches = {
      {0, 0, 0xFF0000}, {100, 0, 0x00FF00}, {200, 0, 0x0000FF}, {300, 0, 0xFFFFFF},
      {0, 100, 0x000000}, {100, 100, 0x123456}, {200, 100, 0xFEDCBA}, {540, 400, 0x80FF01},
  };
  for (const Patch& p : patches) painter_.fill(p.x, p.y, 40, 40, p.rgb);
  ASSERT_NO_FATAL_FAILURE(start_capturer());

  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_TRUE(frame_.is_new);
  EXPECT_EQ(frame_.frame_number, 1u);
  EXPECT_NE(frame_.timestamp_us, 0u);
  EXPECT_EQ(frame_.texture, nullptr);
  EXPECT_EQ(frame_.width, kWidth);
  EXPECT_EQ(frame_.height, kHeight);
  EXPECT_EQ(frame_.picture.width, kWidth);
  EXPECT_EQ(frame_.picture.height, kHeight);
  EXPECT_GE(frame_.picture.row_pitch, kWidth * 4);
  EXPECT_EQ(frame_.picture.order, capture::PixelOrder::kBgra);
  // The first frame is all new.
  EXPECT_EQ(frame_.dirty_rects, (std::vector<DirtyRect>{{0, 0, int32_t(kWidth), int32_t(kHeight)}}));
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.rgb);
    EXPECT_EQ(pixel(frame_, p.x, p.y), bgra(p.rgb));
    EXPECT_EQ(pixel(frame_, p.x + 39, p.y + 39), bgra(p.rgb));
    EXPECT_EQ(pixel(frame_, p.x + 40, p.y + 20), bgra(kBackground));
  }
}

TEST_F(X11CapturerTest, IdleScreenGivesNoChangeAndRepeatsTheLastPicture) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  painter_.fill(50, 50, 100, 100, 0x00FF00);
  ASSERT_NO_FATAL_FAILURE(start_capturer());
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  const std::vector<uint8_t> first(frame_.picture.pixels,
                                   frame_.picture.pixels + size_t(frame_.picture.row_pitch) * kHeight);
  const uint64_t first_time = frame_.timestamp_us;

  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNoChange);
  EXPECT_FALSE(frame_.is_new);
  EXPECT_EQ(frame_.frame_number, 1u);
  EXPECT_FALSE(frame_.has_pixels());
  EXPECT_TRUE(frame_.dirty_rects.empty());

  ASSERT_EQ(capturer_->repeat_last_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_TRUE(frame_.is_new);
  EXPECT_EQ(frame_.frame_number, 2u);
  EXPECT_GE(frame_.timestamp_us, first_time);
  EXPECT_TRUE(frame_.dirty_rects.empty());
  ASSERT_TRUE(frame_.has_pixels());
  EXPECT_EQ(std::memcmp(frame_.picture.pixels, first.data(), first.size()), 0);

  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNoChange);
  EXPECT_EQ(frame_.frame_number, 2u);
}

TEST_F(X11CapturerTest, DrawingReportsDirtyRectanglesAroundIt) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  ASSERT_NO_FATAL_FAILURE(start_capturer());
  ASSERT_NO_FATAL_FAILURE(take_first_frame());

  painter_.fill(100, 60, 50, 40, 0xFF0000);
  painter_.fill(400, 300, 30, 20, 0x0000FF);
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame_.frame_number, 2u);
  EXPECT_TRUE(covers(frame_.dirty_rects, {100, 60, 150, 100}));
  EXPECT_TRUE(covers(frame_.dirty_rects, {400, 300, 430, 320}));
  // Only around the drawing: not the space between, nor the corners.
  for (auto [x, y] : {std::pair{250, 200}, std::pair{0, 0}, std::pair{600, 440}}) {
    EXPECT_FALSE(covered(frame_.dirty_rects, x, y)) << x << "," << y;
  }
  for (const DirtyRect& r : frame_.dirty_rects) {
    EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= int32_t(kWidth) && r.bottom <= int32_t(kHeight));
  }
  EXPECT_EQ(pixel(frame_, 120, 80), bgra(0xFF0000));
  EXPECT_EQ(pixel(frame_, 410, 310), bgra(0x0000FF));
  EXPECT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNoChange);
}

TEST_F(X11CapturerTest, CursorIsDrawnIntoThePicture) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  painter_.define_solid_cursor(kCursorColour);
  painter_.warp(200, 150);
  ASSERT_NO_FATAL_FAILURE(start_capturer());

  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  const DirtyRect area = cursor_area(200, 150);
  EXPECT_EQ(pixel(frame_, area.left, area.top), bgra(kCursorColour));
  EXPECT_EQ(pixel(frame_, 200, 150), bgra(kCursorColour));
  EXPECT_EQ(pixel(frame_, area.right - 1, area.bottom - 1), bgra(kCursorColour));
  EXPECT_EQ(pixel(frame_, area.left - 1, 150), bgra(kBackground));
  EXPECT_EQ(pixel(frame_, area.right, 150), bgra(kBackground));
  EXPECT_EQ(pixel(frame_, 200, area.top - 1), bgra(kBackground));
  EXPECT_EQ(pixel(frame_, 200, area.bottom), bgra(kBackground));
}

TEST_F(X11CapturerTest, CursorMovingOverAStillScreenMakesAFrame) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  painter_.define_solid_cursor(kCursorColour);
  painter_.warp(200, 150);
  ASSERT_NO_FATAL_FAILURE(start_capturer());
  ASSERT_NO_FATAL_FAILURE(take_first_frame());

  painter_.warp(400, 300);
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame_.frame_number, 2u);
  const DirtyRect old_area = cursor_area(200, 150);
  const DirtyRect new_area = cursor_area(400, 300);
  EXPECT_TRUE(covers(frame_.dirty_rects, old_area));
  EXPECT_TRUE(covers(frame_.dirty_rects, new_area));
  EXPECT_FALSE(covered(frame_.dirty_rects, 300, 220));
  // The old place shows the screen again, the new one the cursor.
  EXPECT_EQ(pixel(frame_, 200, 150), bgra(kBackground));
  EXPECT_EQ(pixel(frame_, old_area.left, old_area.top), bgra(kBackground));
  EXPECT_EQ(pixel(frame_, 400, 300), bgra(kCursorColour));
  EXPECT_EQ(pixel(frame_, new_area.left, new_area.top), bgra(kCursorColour));
  EXPECT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNoChange);
}

TEST_F(X11CapturerTest, NewCursorShapeInPlaceMakesAFrame) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  painter_.define_solid_cursor(kCursorColour);
  painter_.warp(200, 150);
  ASSERT_NO_FATAL_FAILURE(start_capturer());
  ASSERT_NO_FATAL_FAILURE(take_first_frame());

  painter_.define_solid_cursor(0x00FF00);
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_TRUE(covers(frame_.dirty_rects, cursor_area(200, 150)));
  EXPECT_EQ(pixel(frame_, 200, 150), bgra(0x00FF00));
  EXPECT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNoChange);
}

TEST_F(X11CapturerTest, ScreenResizeRecreatesTheCapture) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  ASSERT_NO_FATAL_FAILURE(start_capturer());
  ASSERT_NO_FATAL_FAILURE(take_first_frame());

  ASSERT_TRUE(painter_.resize(320, 240));
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kRecreated);
  EXPECT_FALSE(frame_.has_pixels());
  EXPECT_EQ(capturer_->width(), 320u);
  EXPECT_EQ(capturer_->height(), 240u);
  // The last picture had the old size: nothing to repeat until a new frame.
  EXPECT_EQ(capturer_->repeat_last_frame(frame_), CaptureStatus::kFailed);

  painter_.fill(0, 0, 320, 240, 0x00FFFF);
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame_.frame_number, 2u);
  EXPECT_EQ(frame_.width, 320u);
  EXPECT_EQ(frame_.picture.width, 320u);
  EXPECT_EQ(frame_.picture.height, 240u);
  EXPECT_EQ(frame_.dirty_rects, (std::vector<DirtyRect>{{0, 0, 320, 240}}));
  EXPECT_EQ(pixel(frame_, 10, 10), bgra(0x00FFFF));

  ASSERT_TRUE(painter_.resize(kWidth, kHeight));
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kRecreated);
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame_.width, kWidth);
  EXPECT_EQ(frame_.picture.height, kHeight);
}

TEST_F(X11CapturerTest, LostServerFailsUntilItComesBackThenRecreates) {
  // A fixed display number, so that the server can come back on it; high, away
  // from the numbers Xvfb picks for itself in parallel tests.
  XvfbOptions options;
  for (int n = 700 + getpid() % 200; !server_.running() && n < 1000; ++n) {
    options.display_number = n;
    server_.start(options);
  }
  ASSERT_TRUE(server_.running()) << "Xvfb did not start (scripts/install-deps.sh installs it)";
  env_.emplace("DISPLAY", server_.display_name().c_str());
  ASSERT_NO_FATAL_FAILURE(start_capturer());
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);

  server_.stop();
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kFailed);
    EXPECT_FALSE(frame_.has_pixels());
  }
  EXPECT_EQ(capturer_->repeat_last_frame(frame_), CaptureStatus::kFailed);

  ASSERT_TRUE(server_.start(options));
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kRecreated);
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame_.frame_number, 2u);
  EXPECT_EQ(frame_.width, kWidth);
  EXPECT_EQ(frame_.height, kHeight);
}

TEST_F(X11CapturerTest, WithoutShmAndDamageEveryCaptureIsAFullFrame) {
  ASSERT_NO_FATAL_FAILURE(start_server({.extra_args = {"-extension", "MIT-SHM", "-extension", "DAMAGE"}}));
  painter_.fill(10, 10, 20, 20, 0x336699);
  ASSERT_NO_FATAL_FAILURE(start_capturer());
  const std::vector<DirtyRect> whole{{0, 0, int32_t(kWidth), int32_t(kHeight)}};
  for (uint32_t number = 1; number <= 2; ++number) {
    ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
    EXPECT_EQ(frame_.frame_number, number);
    EXPECT_EQ(frame_.dirty_rects, whole);
    EXPECT_EQ(pixel(frame_, 15, 15), bgra(0x336699));
    EXPECT_EQ(pixel(frame_, 35, 15), bgra(kBackground));
  }
}

TEST_F(X11CapturerTest, SharedMemoryGoesWithTheCapturer) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  const int before = own_shm_segments();
  ASSERT_NO_FATAL_FAILURE(start_capturer());
  EXPECT_EQ(own_shm_segments(), before + 1);
  // Initialising again closes the first connection and its segment.
  ASSERT_TRUE(capturer_->initialize());
  ASSERT_TRUE(capturer_->select_output(0));
  ASSERT_EQ(capturer_->capture_frame(frame_), CaptureStatus::kNewFrame);
  EXPECT_EQ(own_shm_segments(), before + 1);
  capturer_.reset();
  EXPECT_EQ(own_shm_segments(), before);
}

}  // namespace
}  // namespace vn::capture
