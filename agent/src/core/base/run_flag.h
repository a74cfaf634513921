#pragma once

#include <atomic>

namespace vn {

// The agent's run flag: cleared by SIGINT/SIGTERM, by the launcher's
// end_session and by a backend termination; every wait and loop checks it.
extern std::atomic<bool> g_running;

// Installs one handler for SIGINT and SIGTERM that only clears g_running.
void install_stop_signal_handler();

}  // namespace vn
