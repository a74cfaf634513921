#include "core/base/loop_clock.h"

#include <chrono>
#include <thread>

#include "core/base/clock.h"

namespace vn {
namespace {

class SystemLoopClock final : public LoopClock {
 public:
  uint64_t now_us() override { return vn::now_us(); }
  void sleep_us(uint64_t duration_us) override { std::this_thread::sleep_for(std::chrono::microseconds(duration_us)); }
};

}  // namespace

LoopClock& system_loop_clock() {
  static SystemLoopClock clock;
  return clock;
}

}  // namespace vn
