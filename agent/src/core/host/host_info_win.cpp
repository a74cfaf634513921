#include <windows.h>
#include <dxgi.h>

#include <cstdio>

#include "core/host/host_info.h"
#include "core/host/host_text.h"

namespace vn {
namespace {

// Releases a COM interface pointer when it goes.
template <typename T>
struct ComRelease {
  T* ptr = nullptr;
  ~ComRelease() {
    if (ptr != nullptr) ptr->Release();
  }
};

std::string processor_name() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0, KEY_READ,
                    &key) != ERROR_SUCCESS) {
    return {};
  }
  wchar_t buffer[256] = {};  // 512 bytes
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  const LONG status =
      RegQueryValueExW(key, L"ProcessorNameString", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  buffer[(sizeof(buffer) / sizeof(buffer[0])) - 1] = L'\0';

  char utf8[1024] = {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, buffer, -1, utf8, sizeof(utf8), nullptr, nullptr);
  if (length <= 0) return {};
  return host_text::trim_spaces(utf8);
}

std::string windows_version() {
  using RtlGetVersionFn = LONG(WINAPI*)(PRTL_OSVERSIONINFOW);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) return {};
  auto rtl_get_version = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtl_get_version == nullptr) return {};
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (rtl_get_version(&info) != 0) return {};
  char text[64] = {};
  std::snprintf(text, sizeof(text), "Windows %lu.%lu.%lu", info.dwMajorVersion, info.dwMinorVersion,
                info.dwBuildNumber);
  return text;
}

}  // namespace

GpuInfo query_gpu_info() {
  GpuInfo gpu;
  ComRelease<IDXGIFactory1> factory;
  if (FAILED(CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory.ptr)))) return gpu;
  ComRelease<IDXGIAdapter1> adapter;
  if (FAILED(factory.ptr->EnumAdapters1(0, &adapter.ptr))) return gpu;
  DXGI_ADAPTER_DESC1 desc{};
  if (FAILED(adapter.ptr->GetDesc1(&desc))) return gpu;
  gpu.name = host_text::narrow_low_bytes(reinterpret_cast<const uint16_t*>(desc.Description), 128);
  gpu.vram_mb = static_cast<uint32_t>(desc.DedicatedVideoMemory >> 20);
  return gpu;
}

HostInfo query_host_info() {
  HostInfo host;
  host.cpu_name = processor_name();
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof(memory);
  if (GlobalMemoryStatusEx(&memory)) host.ram_mb = static_cast<uint32_t>(memory.ullTotalPhys >> 20);
  host.os_version = windows_version();
  return host;
}

}  // namespace vn
