#include "core/base/clock.h"

#include <windows.h>

#include <atomic>

namespace vn {
namespace {

// Performance-counter ticks per microsecond (frequency / 1,000,000).
std::atomic<double> g_ticks_per_us{0.0};

}  // namespace

void init_clock() {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  g_ticks_per_us.store(static_cast<double>(frequency.QuadPart) / 1000000.0);
}

uint64_t now_us() {
  double ticks_per_us = g_ticks_per_us.load(std::memory_order_relaxed);
  if (ticks_per_us <= 0.0) {
    init_clock();
    ticks_per_us = g_ticks_per_us.load();
  }
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  return static_cast<uint64_t>(static_cast<double>(counter.QuadPart) / ticks_per_us);
}

}  // namespace vn
