#pragma once

#include <cstdint>

namespace vn {

// The frame loop's time source: now_us() with real sleeps, or a clock that a
// test advances by hand.
class LoopClock {
 public:
  virtual ~LoopClock() = default;
  virtual uint64_t now_us() = 0;
  virtual void sleep_us(uint64_t duration_us) = 0;
  // One turn of a busy wait for a time point less than a sleep's accuracy away.
  virtual void spin() {}
};

// The monotonic clock of the process (now_us()) and the thread's sleeps.
LoopClock& system_loop_clock();

}  // namespace vn
