#include "capture/gdi_capture_win.h"

#include <spdlog/spdlog.h>

#include <cstring>

#include "capture/dirty_rects.h"
#include "capture/picture_diff_win.h"
#include "capture/screen_cursor_win.h"
#include "core/base/clock.h"

namespace vn::capture {
namespace {

using capture::CapturedFrame;
using capture::DirtyRect;

constexpr uint32_t kTile = 64;
// More changed areas than this go out as their bounding box.
constexpr size_t kMaxDirtyRects = 32;

void force_opaque(uint8_t* pixels, size_t count) {
  for (size_t i = 0; i < count; ++i) pixels[i * 4 + 3] = 0xFF;
}

}  // namespace

GdiCapture::GdiCapture(const D3D11Device& device) : device_(device.device), context_(device.context) {}

GdiCapture::~GdiCapture() { close(); }

void GdiCapture::close() {
  if (memory_dc_ != nullptr && previous_bitmap_ != nullptr) SelectObject(memory_dc_, previous_bitmap_);
  if (dib_ != nullptr) DeleteObject(dib_);
  if (memory_dc_ != nullptr) DeleteDC(memory_dc_);
  memory_dc_ = nullptr;
  dib_ = nullptr;
  previous_bitmap_ = nullptr;
  dib_pixels_ = nullptr;
  texture_.Reset();
  last_.clear();
  width_ = 0;
  height_ = 0;
}

bool GdiCapture::open(const RECT& area) {
  close();
  if (device_ == nullptr || context_ == nullptr) {
    spdlog::error("GDI capture: no Direct3D 11 device");
    return false;
  }
  if (area.right <= area.left || area.bottom <= area.top) {
    spdlog::error("GDI capture: empty desktop area ({}, {})-({}, {})", area.left, area.top, area.right, area.bottom);
    return false;
  }
  const auto width = static_cast<uint32_t>(area.right - area.left);
  const auto height = static_cast<uint32_t>(area.bottom - area.top);

  HDC screen = GetDC(nullptr);
  if (screen == nullptr) {
    spdlog::error("GDI capture: GetDC(NULL) failed: {}", GetLastError());
    return false;
  }
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = static_cast<LONG>(width);
  info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* pixels = nullptr;
  memory_dc_ = CreateCompatibleDC(screen);
  dib_ = memory_dc_ != nullptr ? CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0) : nullptr;
  const DWORD create_error = GetLastError();
  ReleaseDC(nullptr, screen);
  if (dib_ == nullptr || pixels == nullptr) {
    spdlog::error("GDI capture: DIB section {}x{} could not be made: {}", width, height, create_error);
    close();
    return false;
  }
  previous_bitmap_ = SelectObject(memory_dc_, dib_);
  dib_pixels_ = static_cast<uint8_t*>(pixels);
  area_ = area;
  width_ = width;
  height_ = height;

  // One BitBlt up front tells whether this session can read the screen at all.
  if (!grab()) {
    close();
    return false;
  }
  grab_failures_.reset();

  const D3D11_TEXTURE2D_DESC desc = bgra_texture_desc(width, height, D3D11_BIND_SHADER_RESOURCE);
  const HRESULT hr = device_->CreateTexture2D(&desc, nullptr, &texture_);
  if (FAILED(hr)) {
    spdlog::error("GDI capture: CreateTexture2D {}x{} failed: 0x{:08X}", width, height, hr_code(hr));
    close();
    return false;
  }
  spdlog::info("GDI capture initialized: {}x{} at ({}, {})", width, height, area.left, area.top);
  return true;
}

bool GdiCapture::grab() {
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) {
    if (grab_failures_.next()) spdlog::error("GDI capture: GetDC(NULL) failed: {}", GetLastError());
    return false;
  }
  // CAPTUREBLT includes layered (translucent) windows.
  const BOOL copied = BitBlt(memory_dc_, 0, 0, static_cast<int>(width_), static_cast<int>(height_), screen,
                             area_.left, area_.top, SRCCOPY | CAPTUREBLT);
  const DWORD error = GetLastError();
  ReleaseDC(nullptr, screen);
  if (!copied) {
    if (grab_failures_.next()) spdlog::error("GDI capture: BitBlt of the desktop failed: {}", error);
    return false;
  }
  ScreenCursor cursor;
  if (find_screen_cursor(area_.left, area_.top, cursor)) {
    DrawIconEx(memory_dc_, cursor.x, cursor.y, cursor.handle, 0, 0, 0, nullptr, DI_NORMAL);
  }
  GdiFlush();  // the DIB's memory is read directly below
  force_opaque(dib_pixels_, size_t{width_} * height_);
  return true;
}

CaptureStatus GdiCapture::capture_frame(CapturedFrame& out) {
  if (dib_pixels_ == nullptr || texture_ == nullptr) return CaptureStatus::kFailed;
  if (!grab()) return CaptureStatus::kFailed;

  const uint32_t pitch = width_ * 4;
  std::vector<DirtyRect> changed;
  if (last_.empty()) {
    last_.resize(size_t{pitch} * height_);
    changed.push_back({0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)});
  } else {
    changed = changed_tiles(last_.data(), dib_pixels_, width_, height_, pitch, kTile);
  }
  if (changed.empty()) {
    out.is_new = false;
    out.frame_number = frame_counter_;
    return CaptureStatus::kNoChange;
  }

  for (const DirtyRect& r : changed) {
    const size_t row_bytes = size_t{static_cast<uint32_t>(r.right - r.left)} * 4;
    for (int32_t y = r.top; y < r.bottom; ++y) {
      const size_t offset = size_t{static_cast<uint32_t>(y)} * pitch + size_t{static_cast<uint32_t>(r.left)} * 4;
      std::memcpy(last_.data() + offset, dib_pixels_ + offset, row_bytes);
    }
    const D3D11_BOX box{static_cast<UINT>(r.left), static_cast<UINT>(r.top), 0, static_cast<UINT>(r.right),
                        static_cast<UINT>(r.bottom), 1};
    const size_t first = size_t{static_cast<uint32_t>(r.top)} * pitch + size_t{static_cast<uint32_t>(r.left)} * 4;
    context_->UpdateSubresource(texture_.Get(), 0, &box, last_.data() + first, pitch, 0);
  }
  limit_dirty_rects(changed, kMaxDirtyRects);
  deliver(out, std::move(changed));
  return CaptureStatus::kNewFrame;
}

CaptureStatus GdiCapture::repeat_last_frame(CapturedFrame& out) {
  if (last_.empty() || texture_ == nullptr) return CaptureStatus::kFailed;
  deliver(out, {});
  return CaptureStatus::kNewFrame;
}

void GdiCapture::deliver(CapturedFrame& out, std::vector<DirtyRect> dirty_rects) {
  ++frame_counter_;
  out.texture = texture_.Get();
  out.frame_number = frame_counter_;
  out.timestamp_us = now_us();
  out.width = width_;
  out.height = height_;
  out.is_new = true;
  out.dirty_rects = std::move(dirty_rects);
}

}  // namespace vn::capture
