// Test helper: sets up the agent's logging and crash handling, publishes an
// isolation that logs its restore, then faults the way argv[1] names.
#include <spdlog/spdlog.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/base/crash_handler.h"
#include "core/base/crash_restore.h"
#include "core/base/logging.h"

namespace {

class LoggingIsolation : public vn::CrashRestorable {
 protected:
  void restore() override { spdlog::info("CrashChild: desktop restored (crashed={})", crashed()); }
};

}  // namespace

int main(int argc, char** argv) {
  vn::install_crash_handler();
  vn::setup_logging();
  static LoggingIsolation isolation;
  vn::set_active_isolation(&isolation);

  const std::string mode = argc > 1 ? argv[1] : "";
  spdlog::info("CrashChild: faulting with {}", mode);
  volatile std::uintptr_t bad_address = 0x10;
  if (mode == "read") {
    volatile int value = *reinterpret_cast<volatile int*>(bad_address);
    (void)value;
  } else if (mode == "write") {
    *reinterpret_cast<volatile int*>(bad_address) = 1;
  } else if (mode == "execute") {
    // Heap memory is not executable: jumping there faults on the fetch.
    void* data = std::malloc(64);
    std::memset(data, 0xC3, 64);
    using Function = void (*)();
    Function function;
    std::memcpy(&function, &data, sizeof(function));
    function();
  } else if (mode == "abort") {
    std::abort();
  }
  return 3;  // no fault happened
}
