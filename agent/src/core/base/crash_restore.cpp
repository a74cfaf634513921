#include "core/base/crash_restore.h"

namespace vn {
namespace {

std::atomic<CrashRestorable*> g_active_isolation{nullptr};
// The crash handlers use these from a signal handler, where a lock could be held by the crashed code.
static_assert(std::atomic<CrashRestorable*>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

}  // namespace

void set_active_isolation(CrashRestorable* isolation) { g_active_isolation.store(isolation); }

CrashRestorable* active_isolation() { return g_active_isolation.load(); }

void restore_isolation_after_crash() {
  CrashRestorable* isolation = g_active_isolation.exchange(nullptr);
  if (isolation == nullptr) return;
  isolation->mark_crashed();
  isolation->restore_once();
}

}  // namespace vn
