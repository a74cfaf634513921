#pragma once

#include <cstddef>
#include <string>

#include "core/base/signal_safe_text.h"

namespace vn {

// Installs the handler that, on an unhandled OS-level crash, first restores
// the desktop isolation (restore_isolation_after_crash) and then logs
// "Fatal crash: Unhandled OS exception 0x{:X} ({})" (write_fatal_crash_line).
// Call first thing in main, on the main thread.
//
// Windows: the unhandled-exception filter; the line goes through the default
// logger and the process ends with the exception code.
//
// Linux: handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT that run on
// the thread's alternate stack (the main thread's is set up here, other
// threads need a ThreadCrashStack) and are async-signal-safe: no allocation,
// no lock, no spdlog. The handler first arms alarm(kCrashAlarmSeconds), so a
// handler that gets stuck (say, in a desktop restore that blocks) still ends
// the process, by SIGALRM. The line is formatted in a stack buffer with the
// log file's timestamp, level and thread prefix and written with write(2) to
// the crash log file (set_crash_log_file) and to standard error; then the
// process ends with the signal's usual status. A crash on a second thread
// while the first is being handled waits for that one to end the process.
void install_crash_handler();

// Seconds a Linux fatal-signal handler may run before SIGALRM ends the process.
inline constexpr unsigned kCrashAlarmSeconds = 5;

// Linux: the file the fatal line is appended to (setup_logging names
// agent.log). The path is kept in a fixed buffer and opened again at the
// crash, so the line lands in the current file after a log rotation; a
// descriptor opened here (O_APPEND) is the fallback when that open fails.
// Returns false, and logs why, when the path is too long or cannot be opened.
// Call before other threads start; a later call replaces the file.
// Windows: does nothing and returns true (the filter logs through spdlog).
bool set_crash_log_file(const std::string& path);

// Gives the calling thread an alternate signal stack of its own for as long
// as the object lives, so that a stack overflow on that thread is still
// logged by the crash handler (a handler cannot run on the overflowed stack).
// Make one the first local of every thread body the agent starts; it must be
// destroyed on the thread that made it. The previous alternate stack (a
// sanitizer's, say) is put back on destruction. Failures are logged and leave
// the thread without one. Windows: does nothing.
class ThreadCrashStack {
 public:
  ThreadCrashStack();
  ~ThreadCrashStack();
  ThreadCrashStack(const ThreadCrashStack&) = delete;
  ThreadCrashStack& operator=(const ThreadCrashStack&) = delete;

 private:
  void* mapping_ = nullptr;  // guard page + stack, owned
  size_t mapping_bytes_ = 0;
  void* previous_stack_ = nullptr;
  size_t previous_bytes_ = 0;
  int previous_flags_ = 0;
};

// What is known about one crash, for the text in parentheses. The strings are
// borrowed (not owned) so that a signal handler can fill it without allocating.
struct CrashDetails {
  const char* prefix = nullptr;     // platform detail first, e.g. "SIGSEGV"; null or empty for none
  const void* instruction = nullptr;
  const char* module = nullptr;     // full path of the module holding `instruction`; null or empty if unknown
  const char* access = nullptr;     // "read", "write", "execute", "unknown", or null when not told
  bool has_fault_address = false;
  const void* fault_address = nullptr;
};

// "[prefix ]ip=<ptr> module=<path|<unknown>>[ access=<kind>][ addr=<ptr>]",
// pointers as the standard stream prints them ("0x" and lower-case hex, "0"
// for null). Async-signal-safe.
void write_crash_description(SignalSafeText& out, const CrashDetails& details);

// The same text as a string (allocates: not for the crash path).
std::string describe_crash(const CrashDetails& details);

// "Fatal crash: Unhandled OS exception 0x<code in upper-case hex> (<description>)",
// the message of the crash line without a log prefix. Async-signal-safe.
void write_fatal_crash_line(SignalSafeText& out, unsigned long long code, const CrashDetails& details);

// Names the access of an access-violation record's first parameter:
// 0 "read", 1 "write", 8 "execute", anything else "unknown".
const char* access_violation_kind(unsigned long long parameter0);

}  // namespace vn
