#include <windows.h>

#include <spdlog/spdlog.h>

#include "core/base/crash_handler.h"
#include "core/base/crash_restore.h"
#include "core/base/seh_guard_win.h"

namespace vn {
namespace {

constexpr DWORD kAccessViolation = 0xC0000005;
constexpr DWORD kInPageError = 0xC0000006;

std::string module_path_of(const void* address) {
  HMODULE module = nullptr;
  const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (!GetModuleHandleExA(flags, static_cast<LPCSTR>(address), &module)) return {};
  char path[260] = {};
  const DWORD length = GetModuleFileNameA(module, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return {};
  return std::string(path, length);
}

}  // namespace

// Unhandled-exception filter: logs the fault and lets the process end.
LONG WINAPI crash_filter(EXCEPTION_POINTERS* pointers) {
  // A fault inside a structured-exception guard is that guard's failure result.
  if (seh_guard_recover(pointers)) return EXCEPTION_CONTINUE_EXECUTION;

  const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
  const DWORD code = record != nullptr ? record->ExceptionCode : 0;

  CrashDetails details;
  details.instruction = record != nullptr ? record->ExceptionAddress : nullptr;
  details.module = module_path_of(details.instruction);
  if (record != nullptr && (code == kAccessViolation || code == kInPageError) &&
      record->NumberParameters >= 2) {
    details.access = access_violation_kind(record->ExceptionInformation[0]);
    details.has_fault_address = true;
    details.fault_address = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
  }
  const std::string text = describe_crash(details);

  restore_isolation_after_crash();

  if (auto logger = spdlog::default_logger_raw()) {
    logger->critical("Fatal crash: Unhandled OS exception 0x{:X} ({})", code, text);
    logger->flush();
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

void install_crash_handler() { SetUnhandledExceptionFilter(crash_filter); }

}  // namespace vn
