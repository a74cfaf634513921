#include "capture/x11_capturer_linux.h"

#include <spdlog/spdlog.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "capture/cursor_compose.h"
#include "capture/dirty_rects.h"
#include "capture/x11_connection_linux.h"
#include "capture/x11_cursor_linux.h"
#include "capture/x11_errors_linux.h"
#include "capture/x11_screen_image_linux.h"
#include "core/base/clock.h"
#include "core/base/log_limit.h"

namespace vn::capture {
namespace {

using capture::CapturedFrame;
using capture::DirtyRect;

// Beyond this many damage rectangles a frame reports their bounding box.
constexpr size_t kMaxDirtyRects = 64;

const char* yes_no(bool value) { return value ? "yes" : "no"; }

class X11Capturer final : public DesktopCapturer {
 public:
  X11Capturer() = default;
  ~X11Capturer() override { close(); }
  X11Capturer(const X11Capturer&) = delete;
  X11Capturer& operator=(const X11Capturer&) = delete;

  bool initialize() override;
  bool select_output(uint32_t index) override;
  CaptureStatus capture_frame(CapturedFrame& out) override;
  CaptureStatus repeat_last_frame(CapturedFrame& out) override;
  // The picture lives in the compose buffer, which stays ours; nothing to give back.
  void release_frame() override {}
  capture::DeviceHandle device() const override { return capture::DeviceHandle::cpu(); }
  uint32_t width() const override { return width_; }
  uint32_t height() const override { return height_; }
  std::string backend_name() const override { return "X11"; }

 private:
  void close();
  // The root window's current size (a round trip); false when it cannot be read.
  bool read_root_size(uint32_t& width, uint32_t& height);
  bool create_capture();
  void destroy_capture();
  CaptureStatus capture(CapturedFrame& out);
  CaptureStatus recover();
  CaptureStatus grab_failed();
  void drain_events();
  bool take_damage(std::vector<DirtyRect>& rects);
  bool cursor_changed() const;
  void draw_cursor();
  void copy_rows(const DirtyRect& area);
  void deliver(CapturedFrame& out);
  void clear_frame(CapturedFrame& out) const;

  std::string display_name_;
  X11Connection connection_;
  bool output_selected_ = false;
  bool capturing_ = false;     // image and damage exist for the current size
  bool size_changed_ = false;  // the root window's size differs from the capture's
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  X11ScreenImage screen_;
  Damage damage_ = 0;
  XserverRegion damage_region_ = 0;
  bool damage_pending_ = false;    // a DamageNotify came since the last XDamageSubtract
  bool full_frame_needed_ = true;  // the next frame re-reads everything and says so

  X11Cursor cursor_;
  bool cursor_drawn_ = false;  // what the compose buffer has in it
  int32_t drawn_left_ = 0;
  int32_t drawn_top_ = 0;
  uint64_t drawn_generation_ = 0;
  DirtyRect drawn_rect_{};

  // The delivered picture: the screen image with the cursor drawn in and
  // alpha set to 255, width_ x height_ pixels, no padding. Kept apart from the
  // screen image so that repeat_last_frame() can deliver it again.
  std::vector<uint32_t> compose_;
  bool has_picture_ = false;
  uint32_t frame_number_ = 0;

  bool shm_fallback_logged_ = false;
  LogLimit not_ready_log_;
  LogLimit setup_failure_log_;
  LogLimit grab_failure_log_;
  LogLimit recover_failure_log_;
};

bool X11Capturer::initialize() {
  close();
  const char* name = std::getenv("DISPLAY");
  display_name_ = name == nullptr ? "" : name;
  if (display_name_.empty()) {
    spdlog::error("X11Capture: DISPLAY is not set");
    return false;
  }
  if (!connection_.open(display_name_)) {
    spdlog::error("X11Capture: cannot open display {}", display_name_);
    return false;
  }
  frame_number_ = 0;
  spdlog::info("X11Capture: connected to display {} (MIT-SHM {}, DAMAGE {}, XFIXES {})", display_name_,
               yes_no(connection_.has_shm()), yes_no(connection_.has_damage()), yes_no(connection_.has_xfixes()));
  if (!connection_.has_damage()) {
    spdlog::warn("X11Capture: no DAMAGE extension; every capture is a new full-screen frame");
  }
  if (!connection_.has_xfixes()) spdlog::warn("X11Capture: no XFIXES extension; the cursor is not drawn");
  return true;
}

void X11Capturer::close() {
  destroy_capture();
  connection_.close();
  output_selected_ = false;
}

bool X11Capturer::select_output(uint32_t index) {
  if (!connection_.is_open()) {
    spdlog::error("X11Capture: select_output({}) before a successful initialize()", index);
    return false;
  }
  if (index != 0) {
    spdlog::error("X11Capture: there is no output {}; output 0 is the whole screen", index);
    return false;
  }
  destroy_capture();
  output_selected_ = false;
  if (!create_capture()) return false;
  output_selected_ = true;
  spdlog::info("X11Capture: capturing output 0, the whole screen of {}x{}, with {}", width_, height_,
               screen_.uses_shm() ? "MIT-SHM" : "XGetImage");
  return true;
}

bool X11Capturer::read_root_size(uint32_t& width, uint32_t& height) {
  Window root_return = 0;
  int x = 0;
  int y = 0;
  unsigned int w = 0;
  unsigned int h = 0;
  unsigned int border = 0;
  unsigned int depth = 0;
  if (!XGetGeometry(connection_.display(), connection_.root(), &root_return, &x, &y, &w, &h, &border, &depth) ||
      w == 0 || h == 0) {
    return false;
  }
  width = w;
  height = h;
  return true;
}

bool X11Capturer::create_capture() {
  Display* display = connection_.display();
  const Window root = connection_.root();
  uint32_t width = 0;
  uint32_t height = 0;
  if (!read_root_size(width, height)) {
    if (setup_failure_log_.next()) {
      spdlog::error("X11Capture: cannot read the size of the root window of {}", display_name_);
    }
    return false;
  }
  if (!screen_.create(display, width, height, connection_.has_shm())) {
    if (setup_failure_log_.next()) spdlog::error("X11Capture: {}", screen_.error());
    return false;
  }
  if (!screen_.uses_shm() && !shm_fallback_logged_) {
    spdlog::warn("X11Capture: {}; reading the screen with XGetImage, which costs an extra copy",
                 screen_.shm_fallback_reason());
    shm_fallback_logged_ = true;
  }
  // After the image: its own trap has already dealt with a refused XShmAttach.
  X11ErrorTrap trap(display);
  // ConfigureNotify on the root window tells when RandR resizes the screen.
  XSelectInput(display, root, StructureNotifyMask);
  if (connection_.has_damage()) {
    // ReportNonEmpty sends one event when the damage goes from empty to
    // non-empty, and the server keeps collecting the area until capture_frame()
    // takes it with XDamageSubtract: a polling capturer needs no more.
    // RawRectangles would send an event per drawing request, a flood while a
    // video plays.
    damage_ = XDamageCreate(display, root, XDamageReportNonEmpty);
    damage_region_ = XFixesCreateRegion(display, nullptr, 0);
  }
  if (connection_.has_xfixes()) XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
  if (trap.sync_failed() || connection_.lost()) {
    if (setup_failure_log_.next()) {
      spdlog::error("X11Capture: setting up the capture of {}x{} failed (X error {})", width, height,
                    trap.error_code());
    }
    destroy_capture();
    return false;
  }
  setup_failure_log_.reset();
  width_ = width;
  height_ = height;
  compose_.assign(size_t(width) * height, 0xFF000000u);
  has_picture_ = false;
  full_frame_needed_ = true;
  damage_pending_ = false;
  size_changed_ = false;
  cursor_.reset();
  cursor_drawn_ = false;
  drawn_rect_ = {};
  capturing_ = true;
  return true;
}

void X11Capturer::destroy_capture() {
  const bool alive = connection_.alive();
  if (alive && damage_ != 0) XDamageDestroy(connection_.display(), damage_);
  if (alive && damage_region_ != 0) XFixesDestroyRegion(connection_.display(), damage_region_);
  damage_ = 0;
  damage_region_ = 0;
  screen_.close(alive);
  compose_ = {};
  has_picture_ = false;
  capturing_ = false;
  width_ = 0;
  height_ = 0;
}

CaptureStatus X11Capturer::capture_frame(CapturedFrame& out) {
  const CaptureStatus status = capture(out);
  if (status != CaptureStatus::kNewFrame) clear_frame(out);
  return status;
}

CaptureStatus X11Capturer::capture(CapturedFrame& out) {
  out.dirty_rects.clear();
  if (!output_selected_) {
    if (not_ready_log_.next()) spdlog::error("X11Capture: capture_frame before a successful select_output(0)");
    return CaptureStatus::kFailed;
  }
  if (!connection_.alive() || !capturing_ || size_changed_) return recover();

  // The round trip comes first: every event the server generated before it
  // (the damage of drawing that has already happened) is queued afterwards.
  cursor_.query_position(connection_.display(), connection_.root());
  drain_events();
  if (connection_.lost() || size_changed_) return recover();
  cursor_.refresh_image(connection_.display(), connection_.has_xfixes());

  std::vector<DirtyRect>& rects = out.dirty_rects;
  const bool damaged = damage_pending_ && take_damage(rects);
  const bool full = full_frame_needed_ || !connection_.has_damage();
  const bool cursor_moved = cursor_changed();
  if (!full && !damaged && !cursor_moved) return CaptureStatus::kNoChange;

  if (full || damaged) {
    if (!screen_.grab(connection_.root())) return grab_failed();
    copy_rows({0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)});
  } else {
    // Only the cursor changed. Without damage the screen image still shows the
    // screen, so putting its pixels back where the cursor was is enough.
    copy_rows(drawn_rect_);
  }
  const DirtyRect old_cursor = drawn_rect_;
  draw_cursor();

  if (full) {
    rects.assign(1, DirtyRect{0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)});
  } else {
    if (cursor_moved) {
      add_dirty_rect(rects, old_cursor, width_, height_);
      add_dirty_rect(rects, drawn_rect_, width_, height_);
    }
    limit_dirty_rects(rects, kMaxDirtyRects);
  }
  full_frame_needed_ = false;
  has_picture_ = true;
  grab_failure_log_.reset();
  deliver(out);
  return CaptureStatus::kNewFrame;
}

void X11Capturer::drain_events() {
  Display* display = connection_.display();
  while (!connection_.lost() && XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (connection_.has_damage() && event.type == connection_.damage_event_base() + XDamageNotify) {
      damage_pending_ = true;
    } else if (connection_.has_xfixes() && event.type == connection_.xfixes_event_base() + XFixesCursorNotify) {
      cursor_.mark_image_stale();
    } else if (event.type == ConfigureNotify && event.xconfigure.window == connection_.root()) {
      const auto width = static_cast<uint32_t>(event.xconfigure.width);
      const auto height = static_cast<uint32_t>(event.xconfigure.height);
      if (width != width_ || height != height_) {
        spdlog::warn("X11Capture: the screen changed from {}x{} to {}x{}; re-creating the capture", width_,
                     height_, width, height);
        size_changed_ = true;
      }
    }
  }
}

bool X11Capturer::take_damage(std::vector<DirtyRect>& rects) {
  damage_pending_ = false;
  // With no repair region the whole damage moves into damage_region_ and the
  // damage object is empty again, ready for the next DamageNotify.
  XDamageSubtract(connection_.display(), damage_, None, damage_region_);
  int count = 0;
  XRectangle* list = XFixesFetchRegion(connection_.display(), damage_region_, &count);
  for (int i = 0; i < count && list != nullptr; ++i) {
    const XRectangle& r = list[i];
    add_dirty_rect(rects, {r.x, r.y, r.x + r.width, r.y + r.height}, width_, height_);
  }
  if (list != nullptr) XFree(list);
  return !rects.empty();
}

bool X11Capturer::cursor_changed() const {
  if (cursor_.visible() != cursor_drawn_) return true;
  return cursor_drawn_ && (cursor_.left() != drawn_left_ || cursor_.top() != drawn_top_ ||
                           cursor_.image_generation() != drawn_generation_);
}

// Draws the cursor where it is now into the compose buffer, which must have
// the screen without the cursor there.
void X11Capturer::draw_cursor() {
  cursor_drawn_ = cursor_.visible();
  drawn_rect_ = {};
  if (!cursor_drawn_) return;
  drawn_left_ = cursor_.left();
  drawn_top_ = cursor_.top();
  drawn_generation_ = cursor_.image_generation();
  drawn_rect_ = cursor_rect(cursor_.image(), drawn_left_, drawn_top_, width_, height_);
  compose_cursor(reinterpret_cast<uint8_t*>(compose_.data()), width_, height_, width_ * 4, cursor_.image(),
                 drawn_left_, drawn_top_);
}

CaptureStatus X11Capturer::grab_failed() {
  // The damage taken for this frame is not in the picture: re-read everything next time.
  full_frame_needed_ = true;
  if (connection_.lost()) return recover();
  // A screen that shrank refuses the grab (BadMatch) before its ConfigureNotify is read.
  uint32_t width = 0;
  uint32_t height = 0;
  if (read_root_size(width, height) && (width != width_ || height != height_)) {
    spdlog::warn("X11Capture: the screen changed from {}x{} to {}x{}; re-creating the capture", width_, height_,
                 width, height);
    size_changed_ = true;
    return recover();
  }
  if (connection_.lost()) return recover();
  if (grab_failure_log_.next()) {
    spdlog::warn("X11Capture: reading the screen failed ({} times in a row); trying again on the next capture",
                 grab_failure_log_.count());
  }
  return CaptureStatus::kFailed;
}

CaptureStatus X11Capturer::recover() {
  if (!connection_.alive()) {
    destroy_capture();
    if (!connection_.open(display_name_) || !create_capture()) {
      if (recover_failure_log_.next()) {
        spdlog::warn("X11Capture: re-connecting to display {} failed ({} attempts); trying again on the next capture",
                     display_name_, recover_failure_log_.count());
      }
      destroy_capture();
      connection_.close();
      return CaptureStatus::kFailed;
    }
    recover_failure_log_.reset();
    spdlog::warn("X11Capture: re-connected to display {}; capturing {}x{}", display_name_, width_, height_);
    return CaptureStatus::kRecreated;
  }
  destroy_capture();
  if (!create_capture()) {
    if (recover_failure_log_.next()) {
      spdlog::warn("X11Capture: re-creating the capture failed ({} attempts); trying again on the next capture",
                   recover_failure_log_.count());
    }
    return CaptureStatus::kFailed;
  }
  recover_failure_log_.reset();
  spdlog::warn("X11Capture: capture re-created at {}x{}", width_, height_);
  return CaptureStatus::kRecreated;
}

void X11Capturer::copy_rows(const DirtyRect& area) {
  const DirtyRect clipped = clip_rect(area, width_, height_);
  for (int32_t y = clipped.top; y < clipped.bottom; ++y) {
    const uint32_t* src = screen_.row(uint32_t(y));
    uint32_t* dst = compose_.data() + size_t(y) * width_;
    // The screen's fourth byte is undefined (depth 24); the picture is opaque.
    for (int32_t x = clipped.left; x < clipped.right; ++x) dst[x] = src[x] | 0xFF000000u;
  }
}

void X11Capturer::deliver(CapturedFrame& out) {
  out.texture = nullptr;
  out.picture.pixels = reinterpret_cast<const uint8_t*>(compose_.data());
  out.picture.width = width_;
  out.picture.height = height_;
  out.picture.row_pitch = width_ * 4;
  out.picture.order = capture::PixelOrder::kBgra;
  out.frame_number = ++frame_number_;
  out.timestamp_us = now_us();
  out.width = width_;
  out.height = height_;
  out.is_new = true;
}

void X11Capturer::clear_frame(CapturedFrame& out) const {
  out.texture = nullptr;
  out.picture = {};
  out.frame_number = frame_number_;
  out.timestamp_us = 0;
  out.width = width_;
  out.height = height_;
  out.is_new = false;
  out.dirty_rects.clear();
}

CaptureStatus X11Capturer::repeat_last_frame(CapturedFrame& out) {
  if (!has_picture_) {
    clear_frame(out);
    return CaptureStatus::kFailed;
  }
  out.dirty_rects.clear();
  deliver(out);
  return CaptureStatus::kNewFrame;
}

}  // namespace

std::unique_ptr<DesktopCapturer> make_x11_capturer() { return std::make_unique<X11Capturer>(); }

}  // namespace vn::capture
