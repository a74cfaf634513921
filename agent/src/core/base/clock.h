#pragma once

#include <cstdint>

namespace vn {

// Reads the monotonic counter's rate once; main_inner calls it first thing.
// now_us() also works before it (it initialises on first use).
void init_clock();

// Monotonic time in microseconds since an arbitrary origin (boot on most
// systems). Every pacing, duration and statistics window uses it. Thread-safe.
uint64_t now_us();

}  // namespace vn
