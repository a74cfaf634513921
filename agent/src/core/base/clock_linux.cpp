#include "core/base/clock.h"

#include <time.h>

namespace vn {

// CLOCK_MONOTONIC is fixed-rate already (nanoseconds); nothing to read at start.
void init_clock() {}

uint64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace vn
