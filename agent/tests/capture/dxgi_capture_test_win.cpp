#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/d3d11_device_win.h"
#include "capture/dxgi_capture_win.h"
#include "capture/screen_cursor_win.h"
#include "encode/cpu_frame_reader.h"
#include "support/fake_output_duplication_win.h"
#include "support/log_capture.h"

// DxgiCapture's frame logic against a scripted fake duplication (Wine has no
// desktop duplication), and the real duplication where the system has one.
namespace vn::capture {
namespace {

using capture::CapturedFrame;
using capture::DirtyRect;
using test::AcquireStep;
using test::FakeDuplication;
using test::kFakeDesktopColour;
using test::kFakeDriverFault;

class DxgiCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!init_device(device_)) GTEST_SKIP() << "no Direct3D 11 device on this system";
    // The fake's desktop texture has the size of output 0, as a real frame would.
    ComPtr<IDXGIDevice> dxgi_device;
    ComPtr<IDXGIAdapter> adapter;
    ComPtr<IDXGIOutput> output;
    DXGI_OUTPUT_DESC desc{};
    if (FAILED(device_.device.As(&dxgi_device)) || FAILED(dxgi_device->GetAdapter(&adapter)) ||
        FAILED(adapter->EnumOutputs(0, &output)) || FAILED(output->GetDesc(&desc))) {
      GTEST_SKIP() << "the adapter has no output 0";
    }
    origin_ = {desc.DesktopCoordinates.left, desc.DesktopCoordinates.top};
    width_ = static_cast<UINT>(desc.DesktopCoordinates.right - desc.DesktopCoordinates.left);
    height_ = static_cast<UINT>(desc.DesktopCoordinates.bottom - desc.DesktopCoordinates.top);
    std::vector<uint32_t> pixels(size_t{width_} * height_, kFakeDesktopColour);
    const D3D11_TEXTURE2D_DESC texture =
        bgra_texture_desc(width_, height_, D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
    const D3D11_SUBRESOURCE_DATA data{pixels.data(), width_ * 4, 0};
    ASSERT_TRUE(SUCCEEDED(device_.device->CreateTexture2D(&texture, &data, &desktop_)));
    ComPtr<IDXGIResource> resource;
    if (FAILED(desktop_.As(&resource))) GTEST_SKIP() << "textures here are not DXGI resources";
  }

  // The next duplication the capture will be handed (kept alive by the fixture).
  FakeDuplication* expect_duplication(std::vector<AcquireStep> script = {}) {
    ComPtr<FakeDuplication> fake;
    fake.Attach(new FakeDuplication(desktop_.Get()));
    fake->script.assign(script.begin(), script.end());
    pending_.push_back(fake);
    return fake.Get();
  }

  std::unique_ptr<DxgiCapture> make_capture() {
    return std::make_unique<DxgiCapture>(
        device_, [this](IDXGIOutput1*, ID3D11Device*, IDXGIOutputDuplication** out) -> HRESULT {
          if (duplicate_faults_) RaiseException(kFakeDriverFault, 0, 0, nullptr);
          if (pending_.empty()) return duplicate_error_;
          handed_out_.push_back(pending_.front());
          pending_.pop_front();
          return handed_out_.back().CopyTo(out);
        });
  }

  std::unique_ptr<DxgiCapture> open_capture() {
    auto capture = make_capture();
    EXPECT_TRUE(capture->create_duplication(0));
    return capture;
  }

  // The pixels of `texture` as 0xAARRGGBB, read through a staging copy.
  struct Pixels {
    uint32_t width = 0;
    std::vector<uint32_t> values;
    uint32_t at(uint32_t x, uint32_t y) const { return values[size_t{y} * width + x]; }
  };
  Pixels read_pixels(void* texture) {
    Pixels out;
    auto reader = encode::CpuFrameReader::Create();
    CapturedFrame frame;
    frame.texture = texture;
    capture::CpuPicture view;
    if (!reader->open({capture::DeviceHandle::Kind::kD3D11, device_.device.Get()}) || !reader->map(frame, view)) {
      ADD_FAILURE() << "texture could not be read back";
      out.width = width_;
      out.values.assign(size_t{width_} * height_, 0);
      return out;
    }
    out.width = view.width;
    out.values.resize(size_t{view.width} * view.height);
    for (uint32_t y = 0; y < view.height; ++y) {
      std::memcpy(out.values.data() + size_t{y} * view.width, view.pixels + size_t{y} * view.row_pitch,
                  size_t{view.width} * 4);
    }
    reader->unmap();
    return out;
  }

  D3D11Device device_;
  ComPtr<ID3D11Texture2D> desktop_;
  POINT origin_{};
  UINT width_ = 0;
  UINT height_ = 0;
  std::deque<ComPtr<FakeDuplication>> pending_;
  std::vector<ComPtr<FakeDuplication>> handed_out_;
  HRESULT duplicate_error_ = E_ACCESSDENIED;
  bool duplicate_faults_ = false;
};

TEST_F(DxgiCaptureTest, NewFrameCarriesTheComposedCopyAndTheDirtyRects) {
  FakeDuplication* fake = expect_duplication({AcquireStep{S_OK, false, {{10, 20, 30, 40}, {0, 0, 5, 5}}}});
  vn::test::LogCapture logs;
  auto capture = open_capture();
  EXPECT_TRUE(logs.contains("info: DXGI OutputDuplication created for output 0")) << logs.dump();
  EXPECT_EQ(capture->width(), width_);
  EXPECT_EQ(capture->height(), height_);

  CapturedFrame frame;
  ASSERT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame) << logs.dump();
  EXPECT_EQ(frame.frame_number, 1u);
  EXPECT_TRUE(frame.is_new);
  EXPECT_GT(frame.timestamp_us, 0u);
  EXPECT_EQ(frame.width, width_);
  EXPECT_EQ(frame.height, height_);
  EXPECT_EQ(frame.dirty_rects, (std::vector<DirtyRect>{{10, 20, 30, 40}, {0, 0, 5, 5}}));
  ASSERT_NE(frame.texture, nullptr);
  EXPECT_NE(frame.texture, static_cast<void*>(desktop_.Get())) << "the cursor goes into a copy";

  // The copy is the desktop wherever the cursor is not: everywhere when no
  // cursor is showing, else in the corner farthest from it.
  const Pixels pixels = read_pixels(frame.texture);
  ScreenCursor cursor;
  if (!find_screen_cursor(origin_.x, origin_.y, cursor)) {
    EXPECT_EQ(pixels.at(width_ / 2, height_ / 2), kFakeDesktopColour);
    EXPECT_EQ(pixels.at(0, 0), kFakeDesktopColour);
  } else {
    const uint32_t x = cursor.x < static_cast<int>(width_ / 2) ? width_ - 1 : 0;
    const uint32_t y = cursor.y < static_cast<int>(height_ / 2) ? height_ - 1 : 0;
    EXPECT_EQ(pixels.at(x, y), kFakeDesktopColour);
  }

  capture->release_frame();
  EXPECT_EQ(fake->releases, 1);
  capture->release_frame();
  EXPECT_EQ(fake->releases, 1) << "nothing is held any more";
}

TEST_F(DxgiCaptureTest, IdleDesktopGivesNoChangeAndRepeatCountsOn) {
  expect_duplication({AcquireStep{}});
  auto capture = open_capture();
  CapturedFrame frame;
  EXPECT_EQ(capture->repeat_last_frame(frame), CaptureStatus::kFailed) << "nothing composed yet";

  ASSERT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame);
  void* composed = frame.texture;
  capture->release_frame();

  EXPECT_EQ(capture->capture_frame(frame), CaptureStatus::kNoChange);
  EXPECT_FALSE(frame.is_new);
  EXPECT_EQ(frame.frame_number, 1u);

  frame.dirty_rects = {{1, 1, 2, 2}};
  ASSERT_EQ(capture->repeat_last_frame(frame), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame.frame_number, 2u);
  EXPECT_EQ(frame.texture, composed);
  EXPECT_EQ(read_pixels(frame.texture).at(0, 0), kFakeDesktopColour);
  EXPECT_TRUE(frame.is_new);
  EXPECT_TRUE(frame.dirty_rects.empty());
  EXPECT_EQ(frame.width, width_);

  EXPECT_EQ(capture->capture_frame(frame), CaptureStatus::kNoChange);
  EXPECT_EQ(frame.frame_number, 2u);
}

TEST_F(DxgiCaptureTest, FrameLeftHeldIsReleasedBeforeTheNextAcquire) {
  FakeDuplication* fake = expect_duplication({AcquireStep{}, AcquireStep{}});
  auto capture = open_capture();
  CapturedFrame frame;
  ASSERT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame);
  ASSERT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame.frame_number, 2u);
  EXPECT_EQ(fake->releases, 1);
}

TEST_F(DxgiCaptureTest, AccessLossRecreatesTheDuplicationInPlace) {
  expect_duplication({AcquireStep{DXGI_ERROR_ACCESS_LOST}});
  auto capture = open_capture();
  expect_duplication({AcquireStep{}});
  vn::test::LogCapture logs;
  CapturedFrame frame;
  EXPECT_EQ(capture->capture_frame(frame), CaptureStatus::kRecreated);
  EXPECT_TRUE(logs.contains("warning: DXGI_ERROR_ACCESS_LOST — recovering duplication")) << logs.dump();
  EXPECT_EQ(handed_out_.size(), 2u);

  ASSERT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame);
  EXPECT_EQ(frame.frame_number, 1u);
}

TEST_F(DxgiCaptureTest, FailedRecoveryIsRetriedOnTheNextCall) {
  expect_duplication({AcquireStep{DXGI_ERROR_ACCESS_LOST}});
  auto capture = open_capture();
  vn::test::LogCapture logs;
  CapturedFrame frame;
  EXPECT_EQ(capture->capture_frame(frame), CaptureStatus::kFailed);
  EXPECT_TRUE(logs.contains("error: DuplicateOutput failed: 0x80070005")) << logs.dump();
  EXPECT_TRUE(logs.contains("error: Failed to recover from ACCESS_LOST")) << logs.dump();

  expect_duplication({AcquireStep{}});
  EXPECT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame) << logs.dump();
}

TEST_F(DxgiCaptureTest, AcquireFailuresAreLoggedAndTheCaptureStaysUsable) {
  struct Case {
    AcquireStep failure;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{DXGI_ERROR_INVALID_CALL}, {"error: AcquireNextFrame failed: 0x887A0001"}},
      {{S_OK, true},
       {"error: DXGI: SEH exception 0xE0000042 during AcquireNextFrame", "error: AcquireNextFrame failed: 0x80004005"}},
  };
  for (const Case& c : cases) {
    expect_duplication({c.failure, AcquireStep{}});
    auto capture = open_capture();
    vn::test::LogCapture logs;
    CapturedFrame frame;
    EXPECT_EQ(capture->capture_frame(frame), CaptureStatus::kFailed);
    for (const std::string& line : c.lines) EXPECT_TRUE(logs.contains(line)) << line << "\n" << logs.dump();
    EXPECT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame);
  }
}

TEST_F(DxgiCaptureTest, FaultsInReleaseFrameAreLoggedWithTheCaller) {
  struct Case {
    std::string label;
    std::function<void(std::unique_ptr<DxgiCapture>&)> release;
  };
  const Case cases[] = {
      {"release_frame", [](auto& capture) { capture->release_frame(); }},
      {"capture_frame pre-acquire ReleaseFrame",
       [](auto& capture) {
         CapturedFrame frame;
         capture->capture_frame(frame);
       }},
      {"DxgiCapture destructor ReleaseFrame", [](auto& capture) { capture.reset(); }},
  };
  for (const Case& c : cases) {
    FakeDuplication* fake = expect_duplication({AcquireStep{}});
    auto capture = open_capture();
    CapturedFrame frame;
    ASSERT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame);
    fake->fault_on_release = true;
    vn::test::LogCapture logs;
    c.release(capture);
    EXPECT_TRUE(logs.contains("error: DXGI: SEH exception 0xE0000042 during " + c.label)) << logs.dump();
  }
}

TEST_F(DxgiCaptureTest, FaultDuringRecoveryIsReportedAsFailure) {
  expect_duplication({AcquireStep{DXGI_ERROR_ACCESS_LOST}});
  auto capture = open_capture();
  duplicate_faults_ = true;
  vn::test::LogCapture logs;
  CapturedFrame frame;
  EXPECT_EQ(capture->capture_frame(frame), CaptureStatus::kFailed);
  EXPECT_TRUE(logs.contains("error: DXGI: SEH exception 0xE0000042 during DuplicateOutput recovery")) << logs.dump();
  EXPECT_TRUE(logs.contains("error: Failed to recover from ACCESS_LOST")) << logs.dump();
}

TEST_F(DxgiCaptureTest, CursorIsDrawnIntoTheCopyUnlessHidden) {
  // With a foreground window of ours under the mouse, its arrow cursor is the
  // one GetCursorInfo reports (also under Wine).
  struct Window {
    HWND hwnd;
    ~Window() {
      if (hwnd != nullptr) DestroyWindow(hwnd);
    }
  } window{CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"", WS_POPUP | WS_VISIBLE, origin_.x + 100, origin_.y + 100,
                           200, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr)};
  ASSERT_NE(window.hwnd, nullptr);
  SetForegroundWindow(window.hwnd);
  SetCursorPos(origin_.x + 150, origin_.y + 150);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  SetCursor(LoadCursor(nullptr, IDC_ARROW));
  ScreenCursor cursor;
  if (!find_screen_cursor(origin_.x, origin_.y, cursor)) GTEST_SKIP() << "GetCursorInfo reports no cursor here";

  expect_duplication({AcquireStep{}, AcquireStep{}});
  auto capture = open_capture();
  // Pixels of the cursor's 32 x 32 area that differ from the desktop.
  auto cursor_pixels = [&](const Pixels& pixels) {
    int count = 0;
    for (int y = std::max(cursor.y, 0); y < std::min(cursor.y + 32, static_cast<int>(height_)); ++y) {
      for (int x = std::max(cursor.x, 0); x < std::min(cursor.x + 32, static_cast<int>(width_)); ++x) {
        if (pixels.at(static_cast<uint32_t>(x), static_cast<uint32_t>(y)) != kFakeDesktopColour) ++count;
      }
    }
    return count;
  };
  CapturedFrame frame;
  ASSERT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame);
  Pixels pixels = read_pixels(frame.texture);
  EXPECT_GT(cursor_pixels(pixels), 0) << "no cursor at (" << cursor.x << ", " << cursor.y << ")";
  EXPECT_EQ(pixels.at(width_ - 1, height_ - 1), kFakeDesktopColour);

  int shown = ShowCursor(FALSE);
  while (shown >= 0) shown = ShowCursor(FALSE);
  const bool hidden = !find_screen_cursor(origin_.x, origin_.y, cursor);
  ASSERT_EQ(capture->capture_frame(frame), CaptureStatus::kNewFrame);
  pixels = read_pixels(frame.texture);
  while (shown < 0) shown = ShowCursor(TRUE);
  if (!hidden) GTEST_SKIP() << "ShowCursor(FALSE) does not hide the cursor for GetCursorInfo here";
  EXPECT_EQ(cursor_pixels(pixels), 0) << "a hidden cursor leaves the plain desktop copy";
}

TEST_F(DxgiCaptureTest, RealDuplicationDeliversDesktopFrames) {
  DxgiCapture capture(device_);
  if (!capture.create_duplication(0)) {
    if (capture.last_error() == E_NOTIMPL) GTEST_SKIP() << "desktop duplication is not implemented by Wine";
    GTEST_SKIP() << "desktop duplication is unavailable here (0x" << std::hex << hr_code(capture.last_error())
                 << ")";
  }
  // The first frame after duplicating carries the whole desktop; it may take
  // a few polls to arrive.
  CapturedFrame frame;
  CaptureStatus status = CaptureStatus::kNoChange;
  for (int attempt = 0; attempt < 200 && status != CaptureStatus::kNewFrame; ++attempt) {
    status = capture.capture_frame(frame);
    if (status != CaptureStatus::kNewFrame) Sleep(10);
  }
  ASSERT_EQ(status, CaptureStatus::kNewFrame);
  EXPECT_NE(frame.texture, nullptr);
  EXPECT_EQ(frame.width, width_);
  EXPECT_EQ(frame.height, height_);
  capture.release_frame();
}

}  // namespace
}  // namespace vn::capture
