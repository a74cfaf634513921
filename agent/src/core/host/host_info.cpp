#include "core/host/host_info.h"

#include <spdlog/spdlog.h>

namespace vn {

void log_host_facts(const GpuInfo& gpu, const HostInfo& host) {
  if (gpu.name.empty()) {
    spdlog::warn("Could not detect GPU info for SaaS register payload");
  } else {
    spdlog::info("Detected GPU: {} ({} MB VRAM)", gpu.name, gpu.vram_mb);
  }
  if (host.cpu_name.empty()) {
    spdlog::warn("Could not detect CPU/RAM info");
  } else {
    spdlog::info("Detected CPU: {}, RAM: {} MB", host.cpu_name, host.ram_mb);
  }
  if (!host.os_version.empty()) spdlog::info("Detected OS: {}", host.os_version);
}

}  // namespace vn
