#pragma once

#include <d3d11.h>
#include <dxgi1_2.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "capture/capture_backend_win.h"
#include "capture/d3d11_device_win.h"

namespace vn::capture {

// Makes the duplication of `output` for `device`. The default is
// IDXGIOutput1::DuplicateOutput; tests substitute a fake duplication because
// Wine does not implement desktop duplication.
using Duplicator =
    std::function<HRESULT(IDXGIOutput1* output, ID3D11Device* device, IDXGIOutputDuplication** duplication)>;

// Captures one output of the device's adapter with DXGI desktop duplication
// and draws the mouse cursor into a GDI-compatible copy of each frame.
//
// Every call into the duplication runs under a structured-exception guard, so
// that a fault inside the graphics driver is logged and reported as a status.
// Between capture_frame() returning kNewFrame and release_frame() the desktop
// frame stays acquired and the delivered texture valid; the compose texture
// (delivered when the cursor could be drawn) lives as long as the capture.
// Session thread only.
class DxgiCapture final : public CaptureBackend {
 public:
  explicit DxgiCapture(const D3D11Device& device, Duplicator duplicator = {});
  ~DxgiCapture() override;
  DxgiCapture(const DxgiCapture&) = delete;
  DxgiCapture& operator=(const DxgiCapture&) = delete;

  // Duplicates output `output_index` of the device's adapter. False, logged,
  // on failure; last_error() then has the HRESULT of the step that failed.
  bool create_duplication(uint32_t output_index);
  HRESULT last_error() const { return last_error_; }

  // Whether the output was found (also when duplicating it failed), and its
  // description: the desktop rectangle gives the capture size and origin.
  bool has_output() const { return output_ != nullptr; }
  const DXGI_OUTPUT_DESC& output_desc() const { return output_desc_; }

  CaptureStatus capture_frame(capture::CapturedFrame& out) override;
  CaptureStatus repeat_last_frame(capture::CapturedFrame& out) override;
  void release_frame() override;
  uint32_t width() const override;
  uint32_t height() const override;
  const char* name() const override { return "DXGI"; }

 private:
  // Numbers the next frame and fills its time, size and flags (no texture,
  // no dirty rectangles).
  void start_next_frame(capture::CapturedFrame& out);
  bool recover_duplication();
  // ReleaseFrame under the guard; `label` names the caller in the log line.
  void release_held_frame(const char* label);
  bool ensure_compose_texture(uint32_t width, uint32_t height);
  bool compose_cursor(ID3D11Texture2D* desktop);
  void read_metadata(uint32_t total_size, capture::CapturedFrame& out);

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IDXGIOutputDuplication> duplication_;
  ComPtr<IDXGIOutput1> output_;
  DXGI_OUTPUT_DESC output_desc_{};
  bool frame_held_ = false;
  uint32_t output_index_ = 0;
  uint32_t frame_counter_ = 0;
  ComPtr<ID3D11Texture2D> compose_texture_;
  uint32_t compose_width_ = 0;
  uint32_t compose_height_ = 0;
  std::vector<uint8_t> move_metadata_;
  std::vector<uint8_t> dirty_metadata_;

  Duplicator duplicator_;
  HRESULT last_error_ = S_OK;
};

}  // namespace vn::capture
