#include <d3d11.h>

#include <spdlog/spdlog.h>

#include "encode/cpu_frame_reader.h"

namespace vn::encode {
namespace {

template <typename T>
void release(T*& ptr) {
  if (ptr != nullptr) {
    ptr->Release();
    ptr = nullptr;
  }
}

// Copies each captured texture into a staging texture of the same size and
// format and maps it for reading.
class StagingFrameReader final : public CpuFrameReader {
 public:
  ~StagingFrameReader() override { close(); }

  bool open(const capture::DeviceHandle& device) override {
    if (device.kind != capture::DeviceHandle::Kind::kD3D11 || device.native == nullptr) {
      spdlog::error("SoftwareEncoder: frames need a Direct3D 11 device on this platform");
      return false;
    }
    auto* d3d = static_cast<ID3D11Device*>(device.native);
    if (d3d != device_) {
      d3d->AddRef();
      release(device_);
      device_ = d3d;
    }
    release(context_);
    device_->GetImmediateContext(&context_);
    if (context_ == nullptr) {
      spdlog::error("SoftwareEncoder: no immediate context");
      return false;
    }
    return true;
  }

  void close() override {
    unmap();
    reset();
    release(context_);
    release(device_);
  }

  void reset() override {
    release(staging_);
    staging_width_ = 0;
    staging_height_ = 0;
  }

  bool map(const capture::CapturedFrame& frame, capture::CpuPicture& view) override {
    if (frame.texture == nullptr || device_ == nullptr || context_ == nullptr) return false;
    auto* texture = static_cast<ID3D11Texture2D*>(frame.texture);
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    if (staging_ == nullptr || staging_width_ != desc.Width || staging_height_ != desc.Height) {
      reset();
      D3D11_TEXTURE2D_DESC staging_desc = desc;
      staging_desc.MipLevels = 1;
      staging_desc.ArraySize = 1;
      staging_desc.SampleDesc.Count = 1;
      staging_desc.SampleDesc.Quality = 0;
      staging_desc.Usage = D3D11_USAGE_STAGING;
      staging_desc.BindFlags = 0;
      staging_desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
      staging_desc.MiscFlags = 0;
      if (FAILED(device_->CreateTexture2D(&staging_desc, nullptr, &staging_)) || staging_ == nullptr) {
        staging_ = nullptr;
        spdlog::error("SoftwareEncoder: staging texture creation failed");
        return false;
      }
      staging_width_ = desc.Width;
      staging_height_ = desc.Height;
      source_is_rgba_ =
          desc.Format == DXGI_FORMAT_R8G8B8A8_UNORM || desc.Format == DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;
    }

    context_->CopyResource(staging_, texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(staging_, 0, D3D11_MAP_READ, 0, &mapped))) {
      spdlog::error("SoftwareEncoder: Map failed");
      return false;
    }
    mapped_ = true;
    view.pixels = static_cast<const uint8_t*>(mapped.pData);
    view.width = staging_width_;
    view.height = staging_height_;
    view.row_pitch = mapped.RowPitch;
    view.order = source_is_rgba_ ? capture::PixelOrder::kRgba : capture::PixelOrder::kBgra;
    return true;
  }

  void unmap() override {
    if (mapped_ && context_ != nullptr && staging_ != nullptr) context_->Unmap(staging_, 0);
    mapped_ = false;
  }

 private:
  ID3D11Device* device_ = nullptr;
  ID3D11DeviceContext* context_ = nullptr;
  ID3D11Texture2D* staging_ = nullptr;
  UINT staging_width_ = 0;
  UINT staging_height_ = 0;
  bool source_is_rgba_ = false;
  bool mapped_ = false;
};

}  // namespace

std::unique_ptr<CpuFrameReader> CpuFrameReader::Create() { return std::make_unique<StagingFrameReader>(); }

}  // namespace vn::encode
