#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>

namespace vn::capture {

template <typename T>
using ComPtr = Microsoft::WRL::ComPtr<T>;

// HRESULTs go to the logs as eight hex digits ("0x{:08X}").
inline uint32_t hr_code(HRESULT hr) { return static_cast<uint32_t>(hr); }

// The session's Direct3D 11 device and its immediate context. The capture
// backends and (through DesktopCapturer::device()) the encoders hold
// references to the same device. The immediate context is not thread-safe:
// everything that uses it runs on the session thread.
struct D3D11Device {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
};

// A width x height BGRA texture description: one mip level, one layer, no
// multisampling, default usage, with the given bind and misc flags.
inline D3D11_TEXTURE2D_DESC bgra_texture_desc(uint32_t width, uint32_t height, UINT bind_flags, UINT misc_flags = 0) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = bind_flags;
  desc.MiscFlags = misc_flags;
  return desc;
}

// Creates the device on the first GPU adapter (index 0) with BGRA support at
// feature level 11_1 or 11_0, replacing what `out` held. False, logged, when
// the factory, the adapter or the device cannot be had.
bool init_device(D3D11Device& out);

}  // namespace vn::capture
