#include <d3d11.h>

#include <algorithm>
#include <vector>

#include "support/test_frames.h"

namespace vn::test {
namespace {

// Uploads each picture into a Direct3D 11 texture on a device of its own
// (hardware when there is one, else the WARP software rasteriser).
class TextureFrameSource final : public TestFrameSource {
 public:
  TextureFrameSource() {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    for (D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
      if (SUCCEEDED(D3D11CreateDevice(nullptr, type, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 2,
                                      D3D11_SDK_VERSION, &device_, nullptr, nullptr))) {
        break;
      }
      device_ = nullptr;
    }
  }
  ~TextureFrameSource() override {
    if (texture_ != nullptr) texture_->Release();
    if (device_ != nullptr) device_->Release();
  }

  capture::DeviceHandle device() const override {
    return device_ != nullptr ? capture::DeviceHandle{capture::DeviceHandle::Kind::kD3D11, device_}
                              : capture::DeviceHandle{};
  }

  bool make_frame(const BgraImage& image, uint32_t frame_number, capture::CapturedFrame& frame, bool rgba) override {
    if (device_ == nullptr) return false;
    std::vector<uint8_t> pixels = image.pixels;
    if (rgba) {
      for (size_t i = 0; i < pixels.size(); i += 4) std::swap(pixels[i], pixels[i + 2]);
    }
    if (texture_ != nullptr) {
      texture_->Release();
      texture_ = nullptr;
    }
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = image.width;
    desc.Height = image.height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = rgba ? DXGI_FORMAT_R8G8B8A8_UNORM : DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    D3D11_SUBRESOURCE_DATA data{pixels.data(), image.width * 4, 0};
    if (FAILED(device_->CreateTexture2D(&desc, &data, &texture_))) {
      texture_ = nullptr;
      return false;
    }
    frame = frame_record(image, frame_number);
    frame.texture = texture_;
    return true;
  }

 private:
  ID3D11Device* device_ = nullptr;
  ID3D11Texture2D* texture_ = nullptr;
};

}  // namespace

std::unique_ptr<TestFrameSource> TestFrameSource::Create() { return std::make_unique<TextureFrameSource>(); }

}  // namespace vn::test
