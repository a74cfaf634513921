#pragma once

#include <cstdint>
#include <string>

namespace vn {

// The first graphics adapter. Empty name and 0 when detection fails.
struct GpuInfo {
  std::string name;
  uint32_t vram_mb = 0;  // dedicated video memory
};

// Each field stays empty or 0 when its source fails.
struct HostInfo {
  std::string cpu_name;  // UTF-8, padding spaces removed
  uint32_t ram_mb = 0;   // total physical memory
  std::string os_version;
};

// Never fail: what cannot be detected is left at its default.
GpuInfo query_gpu_info();
HostInfo query_host_info();

// Logs the detected facts (warnings for what is missing) the way the backend
// registration reports them.
void log_host_facts(const GpuInfo& gpu, const HostInfo& host);

}  // namespace vn
