#include "capture/dxgi_capture_win.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>

#include "capture/screen_cursor_win.h"
#include "core/base/clock.h"
#include "core/base/seh_guard_win.h"

namespace vn::capture {
namespace {

using capture::CapturedFrame;

// The unguarded body of the cursor composition: raw pointers and plain
// locals only, since a fault skips destructors.
void copy_and_draw_cursor(ID3D11DeviceContext* context, ID3D11Texture2D* desktop, ID3D11Texture2D* compose,
                          LONG origin_x, LONG origin_y) {
  context->CopyResource(compose, desktop);
  ScreenCursor cursor;
  if (!find_screen_cursor(origin_x, origin_y, cursor)) return;
  IDXGISurface1* surface = nullptr;
  if (FAILED(compose->QueryInterface(__uuidof(IDXGISurface1), reinterpret_cast<void**>(&surface)))) return;
  HDC dc = nullptr;
  if (SUCCEEDED(surface->GetDC(FALSE, &dc))) {  // FALSE: keep the copied desktop
    DrawIconEx(dc, cursor.x, cursor.y, cursor.handle, 0, 0, 0, nullptr, DI_NORMAL);
    surface->ReleaseDC(nullptr);
  }
  surface->Release();
}

}  // namespace

DxgiCapture::DxgiCapture(const D3D11Device& device, Duplicator duplicator)
    : device_(device.device), context_(device.context), duplicator_(std::move(duplicator)) {
  if (!duplicator_) {
    duplicator_ = [](IDXGIOutput1* output, ID3D11Device* d3d, IDXGIOutputDuplication** duplication) {
      return output->DuplicateOutput(d3d, duplication);
    };
  }
}

DxgiCapture::~DxgiCapture() {
  if (frame_held_) {
    release_held_frame("DxgiCapture destructor ReleaseFrame");
    frame_held_ = false;
  }
  compose_texture_.Reset();
  duplication_.Reset();
  output_.Reset();
  context_.Reset();
  device_.Reset();
}

uint32_t DxgiCapture::width() const {
  const RECT& r = output_desc_.DesktopCoordinates;
  return r.right > r.left ? static_cast<uint32_t>(r.right - r.left) : 0;
}

uint32_t DxgiCapture::height() const {
  const RECT& r = output_desc_.DesktopCoordinates;
  return r.bottom > r.top ? static_cast<uint32_t>(r.bottom - r.top) : 0;
}

bool DxgiCapture::create_duplication(uint32_t output_index) {
  output_index_ = output_index;
  last_error_ = S_OK;
  auto fail = [this](HRESULT hr) {
    last_error_ = hr;
    return false;
  };
  if (device_ == nullptr) {
    spdlog::error("DXGI capture: no Direct3D 11 device");
    return fail(E_POINTER);
  }

  ComPtr<IDXGIDevice> dxgi_device;
  HRESULT hr = device_.As(&dxgi_device);
  if (FAILED(hr)) {
    spdlog::error("QueryInterface IDXGIDevice failed: 0x{:08X}", hr_code(hr));
    return fail(hr);
  }
  ComPtr<IDXGIAdapter> adapter;
  hr = dxgi_device->GetAdapter(&adapter);
  if (FAILED(hr)) {
    spdlog::error("IDXGIDevice::GetAdapter failed: 0x{:08X}", hr_code(hr));
    return fail(hr);
  }
  ComPtr<IDXGIOutput> output;
  hr = adapter->EnumOutputs(output_index, &output);
  if (FAILED(hr)) {
    spdlog::error("EnumOutputs({}) failed: 0x{:08X}", output_index, hr_code(hr));
    return fail(hr);
  }
  ComPtr<IDXGIOutput1> output1;
  hr = output.As(&output1);
  if (FAILED(hr)) {
    spdlog::error("QueryInterface IDXGIOutput1 failed: 0x{:08X}", hr_code(hr));
    return fail(hr);
  }
  output1->GetDesc(&output_desc_);
  output_ = output1;

  // A frame still held belongs to the duplication being replaced.
  duplication_.Reset();
  frame_held_ = false;
  ComPtr<IDXGIOutputDuplication> duplication;
  hr = duplicator_(output_.Get(), device_.Get(), &duplication);
  if (FAILED(hr) || duplication == nullptr) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    spdlog::error("DuplicateOutput failed: 0x{:08X}", hr_code(hr));
    return fail(hr);
  }
  duplication_ = std::move(duplication);
  spdlog::info("DXGI OutputDuplication created for output {}", output_index);
  return true;
}

void DxgiCapture::release_held_frame(const char* label) {
  if (duplication_ == nullptr) return;
  IDXGIOutputDuplication* duplication = duplication_.Get();
  uint32_t code = 0;
  if (!seh_guarded([duplication] { duplication->ReleaseFrame(); }, &code)) {
    spdlog::error("DXGI: SEH exception 0x{:08X} during {}", code, label);
  }
}

bool DxgiCapture::recover_duplication() {
  spdlog::warn("DXGI_ERROR_ACCESS_LOST — recovering duplication");
  if (frame_held_) {
    release_held_frame("recover_duplication ReleaseFrame");
    frame_held_ = false;
  }
  duplication_.Reset();
  output_.Reset();
  // A fault inside leaks the references create_duplication held at the time.
  bool created = false;
  uint32_t code = 0;
  if (!seh_guarded([this, &created] { created = create_duplication(output_index_); }, &code)) {
    spdlog::error("DXGI: SEH exception 0x{:08X} during DuplicateOutput recovery", code);
    return false;
  }
  return created;
}

CaptureStatus DxgiCapture::capture_frame(CapturedFrame& out) {
  if (duplication_ == nullptr && !recover_duplication()) return CaptureStatus::kFailed;
  if (frame_held_) {
    release_held_frame("capture_frame pre-acquire ReleaseFrame");
    frame_held_ = false;
  }

  // 0 ms: the frame loop paces itself and capture never blocks.
  DXGI_OUTDUPL_FRAME_INFO info{};
  IDXGIResource* acquired = nullptr;
  HRESULT hr = S_OK;
  IDXGIOutputDuplication* duplication = duplication_.Get();
  uint32_t code = 0;
  if (!seh_guarded([&] { hr = duplication->AcquireNextFrame(0, &info, &acquired); }, &code)) {
    spdlog::error("DXGI: SEH exception 0x{:08X} during AcquireNextFrame", code);
    hr = E_FAIL;
    acquired = nullptr;
  }

  if (hr == DXGI_ERROR_WAIT_TIMEOUT) {
    out.is_new = false;
    out.frame_number = frame_counter_;
    return CaptureStatus::kNoChange;
  }
  if (hr == DXGI_ERROR_ACCESS_LOST) {
    if (recover_duplication()) return CaptureStatus::kRecreated;
    spdlog::error("Failed to recover from ACCESS_LOST");
    return CaptureStatus::kFailed;
  }
  if (FAILED(hr)) {
    spdlog::error("AcquireNextFrame failed: 0x{:08X}", hr_code(hr));
    return CaptureStatus::kFailed;
  }

  frame_held_ = true;
  ComPtr<IDXGIResource> resource;
  resource.Attach(acquired);
  ComPtr<ID3D11Texture2D> desktop;
  hr = resource.As(&desktop);
  if (FAILED(hr) || desktop == nullptr) {
    spdlog::error("QueryInterface ID3D11Texture2D failed: 0x{:08X}", hr_code(FAILED(hr) ? hr : E_NOINTERFACE));
    return CaptureStatus::kFailed;
  }

  start_next_frame(out);

  // The desktop texture stays alive while the frame is acquired, after the
  // local references go.
  out.texture = desktop.Get();
  if (ensure_compose_texture(out.width, out.height) && compose_cursor(desktop.Get())) {
    out.texture = compose_texture_.Get();
  }
  if (info.TotalMetadataBufferSize != 0) read_metadata(info.TotalMetadataBufferSize, out);
  return CaptureStatus::kNewFrame;
}

void DxgiCapture::read_metadata(uint32_t total_size, CapturedFrame& out) {
  if (move_metadata_.size() < total_size) move_metadata_.resize(total_size);
  if (dirty_metadata_.size() < total_size) dirty_metadata_.resize(total_size);
  IDXGIOutputDuplication* duplication = duplication_.Get();
  auto* moves = reinterpret_cast<DXGI_OUTDUPL_MOVE_RECT*>(move_metadata_.data());
  auto* dirty = reinterpret_cast<RECT*>(dirty_metadata_.data());
  UINT move_size = 0;
  UINT dirty_size = 0;
  HRESULT dirty_hr = E_FAIL;
  uint32_t code = 0;
  // The move rectangles are read (the duplication expects it) but not used.
  if (!seh_guarded(
          [&] {
            duplication->GetFrameMoveRects(total_size, moves, &move_size);
            dirty_hr = duplication->GetFrameDirtyRects(total_size, dirty, &dirty_size);
          },
          &code)) {
    spdlog::error("DXGI: SEH exception 0x{:08X} during {}", code, "GetFrameMoveRects/GetFrameDirtyRects");
    return;
  }
  if (FAILED(dirty_hr) || dirty_size == 0) return;
  const size_t count = std::min<size_t>(dirty_size, total_size) / sizeof(RECT);
  out.dirty_rects.reserve(out.dirty_rects.size() + count);
  for (size_t i = 0; i < count; ++i) {
    RECT r;
    std::memcpy(&r, dirty_metadata_.data() + i * sizeof(RECT), sizeof(RECT));
    out.dirty_rects.push_back({r.left, r.top, r.right, r.bottom});
  }
}

bool DxgiCapture::ensure_compose_texture(uint32_t width, uint32_t height) {
  if (compose_texture_ != nullptr && compose_width_ == width && compose_height_ == height) return true;
  compose_texture_.Reset();
  compose_width_ = 0;
  compose_height_ = 0;
  const D3D11_TEXTURE2D_DESC desc =
      bgra_texture_desc(width, height, D3D11_BIND_RENDER_TARGET, D3D11_RESOURCE_MISC_GDI_COMPATIBLE);
  const HRESULT hr = device_->CreateTexture2D(&desc, nullptr, &compose_texture_);
  if (FAILED(hr)) {
    compose_texture_.Reset();
    spdlog::error("Failed to create GDI-compatible compose texture: 0x{:08X}", hr_code(hr));
    return false;
  }
  compose_width_ = width;
  compose_height_ = height;
  spdlog::debug("Compose texture created {}x{} (GDI-compatible)", width, height);
  return true;
}

bool DxgiCapture::compose_cursor(ID3D11Texture2D* desktop) {
  ID3D11DeviceContext* context = context_.Get();
  ID3D11Texture2D* compose = compose_texture_.Get();
  const LONG origin_x = output_desc_.DesktopCoordinates.left;
  const LONG origin_y = output_desc_.DesktopCoordinates.top;
  uint32_t code = 0;
  if (!seh_guarded([=] { copy_and_draw_cursor(context, desktop, compose, origin_x, origin_y); }, &code)) {
    spdlog::error("DXGI: SEH exception 0x{:08X} during CopyResource/cursor compose", code);
    return false;
  }
  return true;
}

void DxgiCapture::start_next_frame(CapturedFrame& out) {
  ++frame_counter_;
  out.frame_number = frame_counter_;
  out.timestamp_us = now_us();
  out.width = width();
  out.height = height();
  out.is_new = true;
  out.dirty_rects.clear();
}

CaptureStatus DxgiCapture::repeat_last_frame(CapturedFrame& out) {
  if (compose_texture_ == nullptr) return CaptureStatus::kFailed;
  start_next_frame(out);
  out.texture = compose_texture_.Get();
  return CaptureStatus::kNewFrame;
}

void DxgiCapture::release_frame() {
  if (!frame_held_) return;
  release_held_frame("release_frame");
  frame_held_ = false;
}

}  // namespace vn::capture
