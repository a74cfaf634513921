#include <windows.h>

#include <spdlog/spdlog.h>

#include "core/base/crash_handler.h"
#include "core/base/crash_restore.h"
#include "core/base/seh_guard_win.h"
#include "core/base/signal_safe_text.h"

namespace vn {
namespace {

constexpr DWORD kAccessViolation = 0xC0000005;
constexpr DWORD kInPageError = 0xC0000006;

// Fills `path` (260 bytes) with the full path of the module holding
// `address`; leaves it empty when unknown.
void find_module(const void* address, char (&path)[260]) {
  path[0] = '\0';
  HMODULE module = nullptr;
  const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (!GetModuleHandleExA(flags, static_cast<LPCSTR>(address), &module)) return;
  const DWORD length = GetModuleFileNameA(module, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) path[0] = '\0';
}

}  // namespace

// Unhandled-exception filter: logs the fault and lets the process end.
LONG WINAPI crash_filter(EXCEPTION_POINTERS* pointers) {
  // A fault inside a structured-exception guard is that guard's failure result.
  if (seh_guard_recover(pointers)) return EXCEPTION_CONTINUE_EXECUTION;

  // The desktop comes back first, before anything that could fail on a
  // corrupt heap.
  restore_isolation_after_crash();

  const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
  const DWORD code = record != nullptr ? record->ExceptionCode : 0;

  CrashDetails details;
  details.instruction = record != nullptr ? record->ExceptionAddress : nullptr;
  char module[260];
  find_module(details.instruction, module);
  details.module = module;
  if (record != nullptr && (code == kAccessViolation || code == kInPageError) &&
      record->NumberParameters >= 2) {
    details.access = access_violation_kind(record->ExceptionInformation[0]);
    details.has_fault_address = true;
    details.fault_address = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
  }
  char line[512];
  SignalSafeText text(line, sizeof(line));
  write_fatal_crash_line(text, code, details);

  if (auto logger = spdlog::default_logger_raw()) {
    logger->critical("{}", text.view());
    logger->flush();
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

void install_crash_handler() { SetUnhandledExceptionFilter(crash_filter); }

bool set_crash_log_file(const std::string&) { return true; }

ThreadCrashStack::ThreadCrashStack() = default;
ThreadCrashStack::~ThreadCrashStack() = default;

}  // namespace vn
