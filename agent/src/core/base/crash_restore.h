#pragma once

#include <atomic>

namespace vn {

// A change to the user's desktop that must be undone even when the process
// dies (the session's desktop isolation). The crash handlers reach the active
// one through a process-wide pointer and only use the atomic flags and
// restore_once() below; these are lock-free, so they are safe in a signal
// handler.
class CrashRestorable {
 public:
  virtual ~CrashRestorable() = default;

  // Puts the desktop back unless that already happened; true when this call did it.
  bool restore_once() {
    if (restored_.exchange(true)) return false;
    restore();
    return true;
  }
  bool restored() const { return restored_.load(); }

  void mark_crashed() { crashed_.store(true); }
  bool crashed() const { return crashed_.load(); }

 protected:
  // Undoes the change. Called at most once, possibly on a crashing thread:
  // on Linux from the fatal-signal handler, where only async-signal-safe
  // calls are sound (no allocation, no locks) and where the handler's alarm
  // (kCrashAlarmSeconds in crash_handler.h) ends the process if this blocks.
  // crashed() tells which case it is.
  virtual void restore() = 0;

 private:
  std::atomic<bool> restored_{false};
  std::atomic<bool> crashed_{false};
};

// The isolation of the running session, or null between sessions. Set and
// cleared by the session loop; read by the crash handlers on any thread.
void set_active_isolation(CrashRestorable* isolation);
CrashRestorable* active_isolation();

// Crash path: takes the active isolation out of the pointer, marks it as
// crashed and restores it once. Does nothing without an active isolation.
// Async-signal-safe itself (lock-free atomics only); restore() is the
// isolation's own.
void restore_isolation_after_crash();

}  // namespace vn
