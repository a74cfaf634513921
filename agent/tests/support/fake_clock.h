#pragma once

#include <cstdint>
#include <vector>

#include "core/base/loop_clock.h"

namespace vn::test {

// A clock that only moves when the code under test sleeps or spins, or when a
// fake advances it to model the cost of its work.
class FakeClock final : public LoopClock {
 public:
  explicit FakeClock(uint64_t start_us = 1'000'000) : now_(start_us) {}
  uint64_t now_us() override { return now_; }
  void sleep_us(uint64_t duration_us) override {
    now_ += duration_us;
    slept_us_.push_back(duration_us);
  }
  void spin() override { now_ += 10; }
  void advance(uint64_t duration_us) { now_ += duration_us; }
  const std::vector<uint64_t>& sleeps() const { return slept_us_; }

 private:
  uint64_t now_;
  std::vector<uint64_t> slept_us_;
};

}  // namespace vn::test
