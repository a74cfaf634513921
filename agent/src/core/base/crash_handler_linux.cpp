#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "core/base/crash_handler.h"
#include "core/base/crash_restore.h"
#include "core/base/logging.h"

namespace vn {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// Room for formatting and logging on the alternate stack, sanitizer frames included.
constexpr size_t kAltStackBytes = 256 * 1024;

std::atomic<bool> g_in_handler{false};

const char* signal_name(int signal_number) {
  switch (signal_number) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

const void* faulting_instruction(const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (uc == nullptr) return nullptr;
#if defined(__x86_64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext.pc);
#else
  return nullptr;
#endif
}

// The page-fault error code tells the kind of access on x86-64 only.
const char* memory_access_kind(const void* context) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (uc == nullptr) return nullptr;
  const auto error = static_cast<unsigned long>(uc->uc_mcontext.gregs[REG_ERR]);
  if (error & 0x10) return "execute";
  return (error & 0x2) ? "write" : "read";
#else
  (void)context;
  return nullptr;
#endif
}

std::string module_path_of(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  // The main program is reported by the name it was started with.
  if (info.dli_fname[0] == '\0' || std::strchr(info.dli_fname, '/') == nullptr) return executable_path();
  return info.dli_fname;
}

void fatal_signal_handler(int signal_number, siginfo_t* info, void* context) {
  if (!g_in_handler.exchange(true)) {
    CrashDetails details;
    details.prefix = signal_name(signal_number);
    details.instruction = faulting_instruction(context);
    details.module = module_path_of(details.instruction);
    // si_code > 0 means the kernel raised it for a real fault (not kill/raise).
    const bool kernel_fault = info != nullptr && info->si_code > 0;
    if (kernel_fault && (signal_number == SIGSEGV || signal_number == SIGBUS)) {
      if (signal_number == SIGSEGV) details.access = memory_access_kind(context);
      details.has_fault_address = true;
      details.fault_address = info->si_addr;
    }
    const std::string text = describe_crash(details);

    restore_isolation_after_crash();

    if (auto logger = spdlog::default_logger_raw()) {
      logger->critical("Fatal crash: Unhandled OS exception 0x{:X} ({})", signal_number, text);
      logger->flush();
    }
  }
  // SA_RESETHAND put the default action back; the re-raised signal is delivered
  // when this handler returns (a hardware fault also recurs), ending the process.
  raise(signal_number);
}

}  // namespace

void install_crash_handler() {
  static std::vector<char> alternate_stack(kAltStackBytes);
  stack_t stack{};
  stack.ss_sp = alternate_stack.data();
  stack.ss_size = alternate_stack.size();
  sigaltstack(&stack, nullptr);

  struct sigaction action{};
  action.sa_sigaction = fatal_signal_handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kFatalSignals) sigaction(signal_number, &action, nullptr);
}

}  // namespace vn
