#include "core/base/seh_guard_win.h"

#include <mutex>

#include "core/base/crash_handler.h"

namespace vn {
namespace {

// Faults that leave the thread unable to run on (stack overflow) and the
// debugger's own traps are never taken over.
bool recoverable(DWORD code) {
  return code != EXCEPTION_STACK_OVERFLOW && code != EXCEPTION_BREAKPOINT && code != EXCEPTION_SINGLE_STEP;
}

}  // namespace

#if defined(_MSC_VER)

bool run_seh_guarded(void (*fn)(void*), void* context, uint32_t* code) {
  __try {
    fn(context);
    return true;
  } __except (recoverable(GetExceptionCode()) ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH) {
    if (code != nullptr) *code = GetExceptionCode();
    return false;
  }
}

bool seh_guard_recover(EXCEPTION_POINTERS*) { return false; }

#else

namespace {

struct GuardFrame {
  void* jump_buffer[5] = {};  // __builtin_setjmp's five words
  GuardFrame* outer = nullptr;
  uint32_t code = 0;
};

thread_local GuardFrame* t_innermost_guard = nullptr;

// The faulting thread resumes here, on its own stack below the faulting
// frame, after the exception dispatch has finished cleanly.
[[noreturn]] __attribute__((noinline)) void guard_landing_pad() {
  __builtin_longjmp(t_innermost_guard->jump_buffer, 1);
}

}  // namespace

bool run_seh_guarded(void (*fn)(void*), void* context, uint32_t* code) {
  // The recovery path starts in the unhandled-exception filter.
  static std::once_flag filter_installed;
  std::call_once(filter_installed, install_crash_handler);

  GuardFrame frame;
  frame.outer = t_innermost_guard;
  if (__builtin_setjmp(frame.jump_buffer) == 0) {
    t_innermost_guard = &frame;
    fn(context);
    t_innermost_guard = frame.outer;
    return true;
  }
  t_innermost_guard = frame.outer;
  if (code != nullptr) *code = frame.code;
  return false;
}

bool seh_guard_recover(EXCEPTION_POINTERS* pointers) {
  GuardFrame* frame = t_innermost_guard;
  if (frame == nullptr || pointers == nullptr || pointers->ExceptionRecord == nullptr ||
      pointers->ContextRecord == nullptr) {
    return false;
  }
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (!recoverable(code)) return false;
  frame->code = code;
  CONTEXT* context = pointers->ContextRecord;
  // A call-like entry: 16-byte alignment minus the return address slot, with
  // room left below the faulting frame.
  context->Rsp = ((context->Rsp - 512) & ~DWORD64{15}) - 8;
  context->Rip = reinterpret_cast<DWORD64>(&guard_landing_pad);
  return true;
}

#endif

}  // namespace vn
