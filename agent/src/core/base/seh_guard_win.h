#pragma once

#include <windows.h>

#include <cstdint>
#include <type_traits>

// Structured-exception guards for calls into graphics drivers and encoder
// runtimes: a hardware exception (access violation, illegal instruction, ...)
// raised inside the guarded call and not handled by the driver itself becomes
// a false result carrying the exception code, instead of ending the process.
//
// With MSVC this is __try/__except. GCC for mingw has no __try: there the
// process's unhandled-exception filter (crash_filter) first offers the fault to
// the innermost guard of the faulting thread, which makes the thread resume in
// a landing pad that jumps back into the guard. Either way, only exceptions the
// driver did not handle itself are caught, as with a frame-based handler.
//
// The guarded call must be a thin wrapper around the foreign call: on a fault
// its own local objects are not destroyed. Guards nest; each is per thread.
namespace vn {

// Runs fn(context). True when it returned normally; false with `*code` set to
// the exception code when a hardware exception ended it.
bool run_seh_guarded(void (*fn)(void*), void* context, uint32_t* code);

template <typename Call>
bool seh_guarded(Call&& call, uint32_t* code) {
  auto trampoline = [](void* context) { (*static_cast<std::remove_reference_t<Call>*>(context))(); };
  return run_seh_guarded(trampoline, const_cast<void*>(static_cast<const void*>(&call)), code);
}

// For crash_filter: when the faulting thread is inside a guard, redirects it
// there and returns true (the filter then answers EXCEPTION_CONTINUE_EXECUTION).
bool seh_guard_recover(EXCEPTION_POINTERS* pointers);

}  // namespace vn
