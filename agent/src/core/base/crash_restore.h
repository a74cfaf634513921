#pragma once

#include <atomic>

namespace vn {

// A change to the user's desktop that must be undone even when the process
// dies (the session's desktop isolation). The crash handlers reach the active
// one through a process-wide pointer and only use the atomic flags and
// restore_once() below.
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
  // Undoes the change. Called at most once, possibly on a crashing thread.
  virtual void restore() = 0;

 private:
  std::atomic<bool> restored_{false};
  std::atomic<bool> crashed_{false};
};

// The isolation of the running session, or null between sessions. Set and
// cleared by the session loop; read by the crash handlers on any thread.
void set_active_isolation(CrashRestorable* isolation);
CrashRestorable* active_isolation();

// Crash path: marks the active isolation as crashed, restores it once and
// clears the pointer. Does nothing without an active isolation.
void restore_isolation_after_crash();

}  // namespace vn
