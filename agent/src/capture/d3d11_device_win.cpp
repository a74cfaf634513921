#include "capture/d3d11_device_win.h"

#include <dxgi1_2.h>
#include <spdlog/spdlog.h>

#include <iterator>
#include <string>

namespace vn::capture {
namespace {

std::string to_utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));  // without the terminator
  return out;
}

}  // namespace

bool init_device(D3D11Device& out) {
  ComPtr<IDXGIFactory1> factory;
  HRESULT hr = CreateDXGIFactory1(IID_PPV_ARGS(&factory));
  if (FAILED(hr)) {
    spdlog::error("CreateDXGIFactory1 failed: 0x{:08X}", hr_code(hr));
    return false;
  }

  constexpr UINT kAdapterIndex = 0;
  ComPtr<IDXGIAdapter1> adapter;
  hr = factory->EnumAdapters1(kAdapterIndex, &adapter);
  if (FAILED(hr)) {
    spdlog::error("EnumAdapters1({}) failed: 0x{:08X}", kAdapterIndex, hr_code(hr));
    return false;
  }
  DXGI_ADAPTER_DESC1 desc{};
  adapter->GetDesc1(&desc);
  spdlog::info("Using GPU adapter {}: {}", kAdapterIndex, to_utf8(desc.Description));

  out.context.Reset();
  out.device.Reset();
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  D3D_FEATURE_LEVEL chosen{};
  // An explicit adapter needs the "unknown" driver type.
  hr = D3D11CreateDevice(adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels,
                         static_cast<UINT>(std::size(levels)), D3D11_SDK_VERSION, &out.device, &chosen,
                         &out.context);
  if (FAILED(hr)) {
    out.context.Reset();
    out.device.Reset();
    spdlog::error("D3D11CreateDevice failed: 0x{:08X}", hr_code(hr));
    return false;
  }
  spdlog::info("D3D11 device created, feature level 0x{:04X}", static_cast<uint32_t>(chosen));
  return true;
}

}  // namespace vn::capture
