#pragma once

#include <atomic>

namespace vn {

// The agent's run flag: cleared by SIGINT/SIGTERM, by the launcher's
// end_session and by a backend termination; every wait and loop checks it.
// Between sessions the session loop sets it again with rearm_running().
extern std::atomic<bool> g_running;

// Installs one handler for SIGINT and SIGTERM that records the stop request
// and clears g_running. Async-signal-safe: two lock-free stores.
void install_stop_signal_handler();

// Asks the agent to stop for good: what the signal handler does. Any thread.
void request_agent_stop();

// True once a stop was requested; never cleared.
bool agent_stop_requested();

// Sets g_running for the next session unless a stop was requested; a stop
// that arrives during the call still wins. Session loop only.
void rearm_running();

// Tests only: forgets a stop request and sets g_running.
void reset_run_flag_for_tests();

}  // namespace vn
