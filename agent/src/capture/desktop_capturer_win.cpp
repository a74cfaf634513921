#include <spdlog/spdlog.h>

#include <memory>

#include "capture/d3d11_device_win.h"
#include "capture/desktop_capturer.h"
#include "capture/dxgi_capture_win.h"
#include "capture/gdi_capture_win.h"

namespace vn::capture {
namespace {

using capture::CapturedFrame;
using capture::DeviceHandle;

// The Windows capturer: owns the session's Direct3D 11 device and captures
// the output with desktop duplication, or with GDI when duplication is
// unavailable. The backend is chosen once per select_output().
class FallbackCapturer final : public DesktopCapturer {
 public:
  ~FallbackCapturer() override {
    backend_.reset();  // before the device references go
    device_ = {};
  }

  bool initialize() override {
    backend_.reset();
    return init_device(device_);
  }

  bool select_output(uint32_t index) override {
    backend_.reset();
    if (device_.device == nullptr) {
      spdlog::error("Desktop capture: select_output({}) without a device", index);
      return false;
    }
    auto dxgi = std::make_unique<DxgiCapture>(device_);
    if (dxgi->create_duplication(index)) {
      backend_ = std::move(dxgi);
      return true;
    }
    spdlog::warn("DXGI: desktop duplication unavailable (0x{:08X}) - using GDI capture", hr_code(dxgi->last_error()));

    RECT area{};
    if (dxgi->has_output()) {
      area = dxgi->output_desc().DesktopCoordinates;
    } else if (index == 0) {
      area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};  // the primary monitor
    } else {
      spdlog::error("GDI capture: output {} not found", index);
      return false;
    }
    dxgi.reset();
    auto gdi = std::make_unique<GdiCapture>(device_);
    if (!gdi->open(area)) return false;
    backend_ = std::move(gdi);
    return true;
  }

  CaptureStatus capture_frame(CapturedFrame& out) override {
    return backend_ != nullptr ? backend_->capture_frame(out) : CaptureStatus::kFailed;
  }

  CaptureStatus repeat_last_frame(CapturedFrame& out) override {
    return backend_ != nullptr ? backend_->repeat_last_frame(out) : CaptureStatus::kFailed;
  }

  void release_frame() override {
    if (backend_ != nullptr) backend_->release_frame();
  }

  DeviceHandle device() const override {
    if (device_.device == nullptr) return {};
    return {DeviceHandle::Kind::kD3D11, device_.device.Get()};
  }

  uint32_t width() const override { return backend_ != nullptr ? backend_->width() : 0; }
  uint32_t height() const override { return backend_ != nullptr ? backend_->height() : 0; }
  std::string backend_name() const override { return backend_ != nullptr ? backend_->name() : "DXGI"; }

 private:
  D3D11Device device_;
  std::unique_ptr<CaptureBackend> backend_;
};

}  // namespace

std::unique_ptr<DesktopCapturer> DesktopCapturer::Create() { return std::make_unique<FallbackCapturer>(); }

}  // namespace vn::capture
