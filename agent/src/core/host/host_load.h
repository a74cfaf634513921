#pragma once

#include <cstdint>
#include <memory>

namespace vn {

// Host load figures of the backend heartbeat.
struct HostLoad {
  uint32_t cpu_pct = 0;      // 0..100, all CPUs
  uint32_t gpu_pct = 0;      // 0..100; 0 where the platform cannot tell
  uint64_t ram_mb_free = 0;  // free physical memory, MiB
};

// Samples the host's load. CPU load is the busy share of all CPUs since the
// previous sample (since construction for the first). Never fails: figures it
// cannot read are 0. Not thread-safe: one thread at a time. A sample may run an
// external tool (NVIDIA on Linux), so call it at heartbeat pace, not per frame.
class HostLoadSampler {
 public:
  static std::unique_ptr<HostLoadSampler> Create();

  virtual ~HostLoadSampler() = default;
  virtual HostLoad sample() = 0;
};

}  // namespace vn
