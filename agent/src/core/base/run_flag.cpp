#include "core/base/run_flag.h"

#include <csignal>

namespace vn {

std::atomic<bool> g_running{true};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores into g_running");

namespace {

// Kept apart from g_running, which the session loop sets again after every
// session: a stop request is never overwritten.
std::atomic<bool> g_stop_requested{false};

extern "C" void on_stop_signal(int) { request_agent_stop(); }

}  // namespace

void install_stop_signal_handler() {
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
}

void request_agent_stop() {
  g_stop_requested.store(true);
  g_running.store(false);
}

bool agent_stop_requested() { return g_stop_requested.load(); }

void rearm_running() {
  g_running.store(true);
  // A request stored before the line above is seen here; one stored after it
  // clears g_running itself.
  if (g_stop_requested.load()) g_running.store(false);
}

void reset_run_flag_for_tests() {
  g_stop_requested.store(false);
  g_running.store(true);
}

}  // namespace vn
