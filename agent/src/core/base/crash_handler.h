#pragma once

#include <string>

namespace vn {

// Installs the handler that logs an unhandled OS-level crash as
// "Fatal crash: Unhandled OS exception 0x{:X} ({})" after restoring the
// desktop isolation. Windows: the unhandled-exception filter. Linux: handlers
// for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an alternate stack (the
// main thread's), after which the process ends with the signal's usual status.
// Call first thing in main.
void install_crash_handler();

// What is known about one crash, for the text in parentheses.
struct CrashDetails {
  std::string prefix;               // platform detail first, e.g. "SIGSEGV"; may be empty
  const void* instruction = nullptr;
  std::string module;               // full path of the module holding `instruction`; empty if unknown
  const char* access = nullptr;     // "read", "write", "execute", "unknown", or null when not told
  bool has_fault_address = false;
  const void* fault_address = nullptr;
};

// "[prefix ]ip=<ptr> module=<path|<unknown>>[ access=<kind>][ addr=<ptr>]",
// pointers in the standard stream's pointer format.
std::string describe_crash(const CrashDetails& details);

// Names the access of an access-violation record's first parameter:
// 0 "read", 1 "write", 8 "execute", anything else "unknown".
const char* access_violation_kind(unsigned long long parameter0);

}  // namespace vn
