#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/desktop_capturer.h"
#include "encode/cpu_frame_reader.h"
#include "support/log_capture.h"

// The Windows DesktopCapturer against real windows on the screen: desktop
// duplication where the system has it, the GDI fallback otherwise (Wine).
namespace vn::capture {
namespace {

using capture::CapturedFrame;
using capture::DirtyRect;

constexpr COLORREF kRed = RGB(200, 30, 40);
constexpr COLORREF kBlue = RGB(20, 60, 220);
constexpr COLORREF kGreen = RGB(10, 230, 50);
constexpr RECT kWindowRect{200, 150, 440, 310};  // screen coordinates, inside output 0
// Bounded polling while the window system catches up; not a time limit.
constexpr int kAttempts = 300;

void pump_messages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// A top-most popup filled with one colour, showing its cursor (when it has
// one) while the mouse is over it.
class ColourWindow {
 public:
  explicit ColourWindow(COLORREF colour) : colour_(colour) {
    static const ATOM window_class = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = &ColourWindow::proc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
      wc.lpszClassName = L"vn_capture_test_window";
      return RegisterClassW(&wc);
    }();
    hwnd_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(window_class)), L"", WS_POPUP | WS_VISIBLE,
                            kWindowRect.left, kWindowRect.top, kWindowRect.right - kWindowRect.left,
                            kWindowRect.bottom - kWindowRect.top, nullptr, nullptr, GetModuleHandleW(nullptr),
                            this);
    if (hwnd_ != nullptr) {
      SetForegroundWindow(hwnd_);
      UpdateWindow(hwnd_);
    }
    pump_messages();
  }
  ~ColourWindow() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    pump_messages();
  }
  ColourWindow(const ColourWindow&) = delete;
  ColourWindow& operator=(const ColourWindow&) = delete;

  bool ok() const { return hwnd_ != nullptr; }

  void set_cursor(HCURSOR cursor) { cursor_ = cursor; }

  void set_colour(COLORREF colour) {
    colour_ = colour;
    InvalidateRect(hwnd_, nullptr, FALSE);
    UpdateWindow(hwnd_);
    pump_messages();
  }

 private:
  static LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<ColourWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr) {
      switch (message) {
        case WM_ERASEBKGND:
          return 1;
        case WM_PAINT: {
          PAINTSTRUCT paint;
          HDC dc = BeginPaint(hwnd, &paint);
          RECT client;
          GetClientRect(hwnd, &client);
          HBRUSH brush = CreateSolidBrush(self->colour_);
          FillRect(dc, &client, brush);
          DeleteObject(brush);
          EndPaint(hwnd, &paint);
          return 0;
        }
        case WM_SETCURSOR:
          if (self->cursor_ != nullptr) {
            SetCursor(self->cursor_);
            return TRUE;
          }
          break;
        default:
          break;
      }
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  HWND hwnd_ = nullptr;
  COLORREF colour_;
  HCURSOR cursor_ = nullptr;
};

// A 16 x 16 opaque cursor of one colour with its hotspot at (5, 7).
class SolidCursor {
 public:
  static constexpr int kSize = 16;
  static constexpr int kHotX = 5;
  static constexpr int kHotY = 7;

  explicit SolidCursor(COLORREF colour) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = kSize;
    info.bmiHeader.biHeight = -kSize;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP colour_bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const std::vector<uint8_t> mask_bits(kSize * kSize / 8, 0x00);  // AND mask 0: the colour everywhere
    HBITMAP mask = CreateBitmap(kSize, kSize, 1, 1, mask_bits.data());
    if (colour_bitmap != nullptr && bits != nullptr && mask != nullptr) {
      const uint32_t pixel = 0xFF000000u | (uint32_t{GetRValue(colour)} << 16) | (uint32_t{GetGValue(colour)} << 8) |
                             GetBValue(colour);
      auto* pixels = static_cast<uint32_t*>(bits);
      for (int i = 0; i < kSize * kSize; ++i) pixels[i] = pixel;
      ICONINFO icon{FALSE, kHotX, kHotY, mask, colour_bitmap};
      handle_ = CreateIconIndirect(&icon);
    }
    if (colour_bitmap != nullptr) DeleteObject(colour_bitmap);
    if (mask != nullptr) DeleteObject(mask);
  }
  ~SolidCursor() {
    if (handle_ != nullptr) DestroyCursor(handle_);
  }
  SolidCursor(const SolidCursor&) = delete;
  SolidCursor& operator=(const SolidCursor&) = delete;

  HCURSOR handle() const { return handle_; }

 private:
  HCURSOR handle_ = nullptr;
};

class DesktopCapturerTest : public ::testing::Test {
 protected:
  // One window for all the tests: Wine takes seconds to destroy one.
  static void SetUpTestSuite() {
    cursor_ = new SolidCursor(kGreen);
    window_ = new ColourWindow(kRed);
  }
  static void TearDownTestSuite() {
    // Never destroy the cursor in use: Wine's X11 driver keeps a reference to it.
    SetCursor(LoadCursor(nullptr, IDC_ARROW));
    delete window_;
    delete cursor_;
    window_ = nullptr;
    cursor_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(window_->ok());
    window_->set_colour(kRed);
    SetCursorPos(5, 5);  // away from the test window
    capturer_ = DesktopCapturer::Create();
    if (!capturer_->initialize()) GTEST_SKIP() << "no Direct3D 11 device on this system";
    ASSERT_TRUE(capturer_->select_output(0)) << logs_.dump();
    ASSERT_GE(capturer_->width(), static_cast<uint32_t>(kWindowRect.right));
    ASSERT_GE(capturer_->height(), static_cast<uint32_t>(kWindowRect.bottom));
    ASSERT_TRUE(reader_->open(capturer_->device()));
  }

  // 0x00RRGGBB of the captured pixel (x, y).
  uint32_t rgb_at(const CapturedFrame& frame, int32_t x, int32_t y) {
    capture::CpuPicture view;
    if (!reader_->map(frame, view)) {
      ADD_FAILURE() << "captured texture could not be read back";
      return 0xFFFFFFFF;
    }
    uint32_t value = 0;
    std::memcpy(&value, view.pixels + size_t(y) * view.row_pitch + size_t(x) * 4, 4);
    reader_->unmap();
    return value & 0x00FFFFFF;
  }

  static uint32_t rgb(COLORREF colour) {
    return (uint32_t{GetRValue(colour)} << 16) | (uint32_t{GetGValue(colour)} << 8) | GetBValue(colour);
  }

  // Captures until a new frame shows `colour` at (x, y); the dirty rectangles
  // of every new frame on the way go to `dirty`. `frame` is that frame, still
  // held: the caller releases it.
  bool capture_until(int32_t x, int32_t y, COLORREF colour, CapturedFrame& frame,
                     std::vector<DirtyRect>* dirty = nullptr) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      pump_messages();
      if (capturer_->capture_frame(frame) == CaptureStatus::kNewFrame) {
        if (dirty != nullptr) dirty->insert(dirty->end(), frame.dirty_rects.begin(), frame.dirty_rects.end());
        if (rgb_at(frame, x, y) == rgb(colour)) return true;
        capturer_->release_frame();
      }
      Sleep(10);
    }
    return false;
  }

  // Captures until the screen stops changing.
  bool capture_until_idle(CapturedFrame& frame) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      pump_messages();
      const CaptureStatus status = capturer_->capture_frame(frame);
      capturer_->release_frame();
      if (status == CaptureStatus::kNoChange) return true;
      Sleep(10);
    }
    return false;
  }

  static constexpr int32_t kCentreX = (kWindowRect.left + kWindowRect.right) / 2;
  static constexpr int32_t kCentreY = (kWindowRect.top + kWindowRect.bottom) / 2;

  static inline ColourWindow* window_ = nullptr;
  static inline SolidCursor* cursor_ = nullptr;

  vn::test::LogCapture logs_;
  std::unique_ptr<DesktopCapturer> capturer_;
  std::unique_ptr<encode::CpuFrameReader> reader_ = encode::CpuFrameReader::Create();
};

TEST_F(DesktopCapturerTest, FallsBackToGdiWhenDuplicationIsUnavailable) {
  if (capturer_->backend_name() == "DXGI") GTEST_SKIP() << "desktop duplication works here; no fallback is taken";
  EXPECT_EQ(capturer_->backend_name(), "GDI");
  // The warning carries the code DuplicateOutput failed with (E_NOTIMPL under Wine).
  const std::string failed = "error: DuplicateOutput failed: 0x";
  std::string code;
  for (const std::string& line : logs_.lines()) {
    if (line.rfind(failed, 0) == 0) code = line.substr(failed.size());
  }
  ASSERT_EQ(code.size(), 8u) << logs_.dump();
  EXPECT_TRUE(logs_.contains("warning: DXGI: desktop duplication unavailable (0x" + code + ") - using GDI capture"))
      << logs_.dump();
  EXPECT_EQ(capturer_->width(), static_cast<uint32_t>(GetSystemMetrics(SM_CXSCREEN)));
  EXPECT_EQ(capturer_->height(), static_cast<uint32_t>(GetSystemMetrics(SM_CYSCREEN)));
  EXPECT_EQ(capturer_->device().kind, capture::DeviceHandle::Kind::kD3D11);
}

TEST_F(DesktopCapturerTest, CapturesTheWindowInItsColour) {
  CapturedFrame frame;
  ASSERT_TRUE(capture_until(kCentreX, kCentreY, kRed, frame)) << logs_.dump();
  EXPECT_EQ(frame.width, capturer_->width());
  EXPECT_EQ(frame.height, capturer_->height());
  EXPECT_TRUE(frame.is_new);
  EXPECT_GE(frame.frame_number, 1u);
  EXPECT_NE(frame.texture, nullptr);
  EXPECT_EQ(rgb_at(frame, kWindowRect.left, kWindowRect.top), rgb(kRed));
  EXPECT_EQ(rgb_at(frame, kWindowRect.right - 1, kWindowRect.bottom - 1), rgb(kRed));
  EXPECT_NE(rgb_at(frame, kWindowRect.right, kCentreY), rgb(kRed)) << "the window ends there";
  capturer_->release_frame();
}

TEST_F(DesktopCapturerTest, IdleScreenGivesNoChangeAndRepeatCountsOn) {
  CapturedFrame frame;
  EXPECT_EQ(capturer_->repeat_last_frame(frame), CaptureStatus::kFailed) << "no frame yet";

  ASSERT_TRUE(capture_until(kCentreX, kCentreY, kRed, frame));
  ASSERT_TRUE(capture_until_idle(frame));
  EXPECT_FALSE(frame.is_new);
  const uint32_t last = frame.frame_number;
  const void* texture = frame.texture;

  ASSERT_EQ(capturer_->repeat_last_frame(frame), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame.frame_number, last + 1);
  EXPECT_TRUE(frame.is_new);
  EXPECT_TRUE(frame.dirty_rects.empty());
  EXPECT_EQ(frame.texture, texture);
  EXPECT_EQ(rgb_at(frame, kCentreX, kCentreY), rgb(kRed)) << "the last picture again";
  capturer_->release_frame();
}

TEST_F(DesktopCapturerTest, ChangedWindowGivesDirtyRectsOverIt) {
  CapturedFrame frame;
  ASSERT_TRUE(capture_until(kCentreX, kCentreY, kRed, frame));
  ASSERT_TRUE(capture_until_idle(frame));

  window_->set_colour(kBlue);
  std::vector<DirtyRect> dirty;
  ASSERT_TRUE(capture_until(kCentreX, kCentreY, kBlue, frame, &dirty));
  auto covered = [&](int32_t x, int32_t y) {
    for (const DirtyRect& r : dirty) {
      if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) return true;
    }
    return false;
  };
  for (const POINT& p : {POINT{kWindowRect.left, kWindowRect.top}, POINT{kWindowRect.right - 1, kWindowRect.top},
                         POINT{kWindowRect.left, kWindowRect.bottom - 1},
                         POINT{kWindowRect.right - 1, kWindowRect.bottom - 1}, POINT{kCentreX, kCentreY}}) {
    EXPECT_TRUE(covered(p.x, p.y)) << "(" << p.x << ", " << p.y << ") not in the dirty rectangles";
  }
  if (capturer_->backend_name() == "GDI") {
    // Nothing else moves on the test screen.
    EXPECT_FALSE(covered(static_cast<int32_t>(capturer_->width()) - 1, static_cast<int32_t>(capturer_->height()) - 1));
  }
}

TEST_F(DesktopCapturerTest, DrawsTheCursorAtItsHotspotAndLeavesItOutWhenHidden) {
  ASSERT_NE(cursor_->handle(), nullptr);
  window_->set_cursor(cursor_->handle());
  struct Restore {
    ~Restore() { window_->set_cursor(nullptr); }
  } restore;
  SetCursorPos(kCentreX, kCentreY);
  pump_messages();
  SetCursor(cursor_->handle());

  CURSORINFO info{};
  info.cbSize = sizeof(info);
  if (!GetCursorInfo(&info)) GTEST_SKIP() << "GetCursorInfo fails here (" << GetLastError() << ")";
  if ((info.flags & CURSOR_SHOWING) == 0) GTEST_SKIP() << "the cursor is hidden on this display";
  if (info.hCursor != cursor_->handle()) {
    GTEST_SKIP() << "GetCursorInfo does not report the cursor set over the window here (Wine/Xvfb reports "
                 << info.hCursor << ")";
  }

  const int32_t left = kCentreX - SolidCursor::kHotX;
  const int32_t top = kCentreY - SolidCursor::kHotY;
  CapturedFrame frame;
  ASSERT_TRUE(capture_until(left, top, kGreen, frame)) << "no cursor at the hotspot-corrected position";
  EXPECT_EQ(rgb_at(frame, left + SolidCursor::kSize - 1, top + SolidCursor::kSize - 1), rgb(kGreen));
  EXPECT_EQ(rgb_at(frame, left - 1, top), rgb(kRed));
  EXPECT_EQ(rgb_at(frame, left, top - 1), rgb(kRed));
  EXPECT_EQ(rgb_at(frame, left + SolidCursor::kSize, top), rgb(kRed));
  capturer_->release_frame();

  int shown = ShowCursor(FALSE);
  while (shown >= 0) shown = ShowCursor(FALSE);
  const bool hidden = GetCursorInfo(&info) && (info.flags & CURSOR_SHOWING) == 0;
  bool plain = false;
  if (hidden) plain = capture_until(left, top, kRed, frame);
  capturer_->release_frame();
  while (shown < 0) shown = ShowCursor(TRUE);
  if (!hidden) GTEST_SKIP() << "ShowCursor(FALSE) does not hide the cursor for GetCursorInfo here";
  EXPECT_TRUE(plain) << "a hidden cursor leaves the plain desktop";
}

}  // namespace
}  // namespace vn::capture
