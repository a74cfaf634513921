#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "core/host/host_info_linux.h"
#include "core/host/host_load.h"

// Linux host load over a configurable file-system root (see SystemPaths), so
// that tests can point it at a fixture tree.
namespace vn::linux_host {

// Cumulative times of the "cpu " line of <proc>/stat, in clock ticks.
struct CpuTimes {
  uint64_t total = 0;  // user + nice + system + idle + iowait + irq + softirq + steal
  uint64_t idle = 0;   // idle + iowait
};
std::optional<CpuTimes> read_cpu_times(const SystemPaths& paths);

// Busy share between two readings, rounded and clamped to 0..100; 0 when no
// time passed or the counters went backwards.
uint32_t cpu_busy_percent(const CpuTimes& before, const CpuTimes& after);

// MemAvailable of <proc>/meminfo (else MemFree + Buffers + Cached) in MiB; 0
// when unreadable.
uint64_t read_ram_mb_free(const SystemPaths& paths);

// The card's load: its driver's device/gpu_busy_percent (amdgpu, i915-style),
// else for NVIDIA cards nvidia-smi through paths.run_command (one run per
// call); 0 when neither tells.
uint32_t read_gpu_percent(const SystemPaths& paths, const std::optional<GpuCard>& card);

// A sampler reading through `paths`; the card is chosen once, here.
std::unique_ptr<HostLoadSampler> create_host_load_sampler(SystemPaths paths);

}  // namespace vn::linux_host
