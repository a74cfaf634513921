#include "core/base/run_flag.h"

#include <csignal>

namespace vn {

std::atomic<bool> g_running{true};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores into g_running");

namespace {

extern "C" void on_stop_signal(int) { g_running.store(false); }

}  // namespace

void install_stop_signal_handler() {
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
}

}  // namespace vn
