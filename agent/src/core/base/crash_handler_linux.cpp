#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/base/crash_handler.h"
#include "core/base/crash_restore.h"
#include "core/base/mapped_file.h"
#include "core/base/signal_safe_text.h"

// Everything reached from fatal_signal_handler is async-signal-safe: raw
// system calls (open, read, write, close, clock_gettime, alarm, sigaction,
// sigprocmask, raise), lock-free atomics and formatting into stack buffers.
// The heap may be corrupt and another thread may hold any lock when it runs.

namespace vn {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// Room on the alternate stack for the handler (about 20 KiB of buffers), the
// desktop restore and sanitizer frames.
constexpr size_t kAltStackBytes = 256 * 1024;

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free &&
              std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Where the fatal line goes besides standard error. Written by
// set_crash_log_file (before other threads start), read by the handler.
char g_log_path[PATH_MAX];
std::atomic<bool> g_log_path_set{false};
std::atomic<int> g_log_fallback_fd{-1};
// Local time minus UTC in seconds, taken when logging is set up: localtime_r
// is not async-signal-safe. A daylight-saving change while the agent runs
// shifts the crash line's clock by that change.
std::atomic<long> g_utc_offset_seconds{0};

// The thread (kernel id) handling a crash, 0 before the first.
std::atomic<pid_t> g_handling_thread{0};

pid_t current_thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void cache_utc_offset() {
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) != nullptr) g_utc_offset_seconds.store(local.tm_gmtoff);
}

// First thing in the handler: whatever blocks later, SIGALRM's default action
// ends the process. Its disposition and this thread's mask are reset in case
// a library changed them (sigprocmask is the calling thread's mask on Linux;
// pthread_sigmask is not on the async-signal-safe list).
void arm_alarm() {
  struct sigaction action{};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  sigset_t alarm_only;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarm_only, nullptr);
  alarm(kCrashAlarmSeconds);
}

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

// Looks the module up in /proc/self/maps, which needs only open, read and
// close. dladdr() would name the same file but is not async-signal-safe: it
// takes the dynamic loader's lock, which a thread inside dlopen() (or a crash
// inside the loader) may hold. Without /proc the module stays unknown.
void find_module(MappedFileFinder& finder) {
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char piece[4096];
  while (!finder.done()) {
    const ssize_t got = read(fd, piece, sizeof(piece));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    finder.feed(std::string_view(piece, static_cast<size_t>(got)));
  }
  finder.finish();
  close(fd);
}

// Days since 1970-01-01 to a proleptic Gregorian date.
void civil_from_days(long long days, long long& year, unsigned& month, unsigned& day) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  year = static_cast<long long>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
}

// "[YYYY-MM-DD HH:MM:SS.mmm] [critical] [<thread id>] " in local time, as
// the file sink's pattern in logging.cpp prints it.
void add_log_prefix(SignalSafeText& out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long local = static_cast<long long>(now.tv_sec) + g_utc_offset_seconds.load();
  const long long days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  const long long second_of_day = local - days * 86400;
  long long year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civil_from_days(days, year, month, day);
  out.add('[').add_decimal(static_cast<unsigned long long>(year), 4).add('-').add_decimal(month, 2).add('-');
  out.add_decimal(day, 2).add(' ').add_decimal(static_cast<unsigned long long>(second_of_day / 3600), 2).add(':');
  out.add_decimal(static_cast<unsigned long long>(second_of_day / 60 % 60), 2).add(':');
  out.add_decimal(static_cast<unsigned long long>(second_of_day % 60), 2).add('.');
  out.add_decimal(static_cast<unsigned long long>(now.tv_nsec / 1000000), 3);
  out.add("] [critical] [").add_decimal(static_cast<unsigned long long>(current_thread_id())).add("] ");
}

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

// One write per destination: with O_APPEND the line cannot interleave with
// spdlog's writes to the same file.
void write_crash_line(std::string_view line) {
  if (g_log_path_set.load()) {
    const int fd = open(g_log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
      write_all(fd, line);
      close(fd);
    } else if (const int fallback = g_log_fallback_fd.load(); fallback >= 0) {
      write_all(fallback, line);
    }
  }
  write_all(STDERR_FILENO, line);
}

void fatal_signal_handler(int signal_number, siginfo_t* info, void* context) {
  arm_alarm();

  pid_t handling = 0;
  if (!g_handling_thread.compare_exchange_strong(handling, current_thread_id())) {
    // Another thread is handling a crash: wait for it to end the process (the
    // alarm bounds the wait). A fault inside this very handler ends it now.
    if (handling != current_thread_id()) {
      for (;;) pause();
    }
    raise(signal_number);
    return;
  }

  restore_isolation_after_crash();

  CrashDetails details;
  details.prefix = signal_name(signal_number);
  details.instruction = faulting_instruction(context);
  MappedFileFinder module(reinterpret_cast<std::uintptr_t>(details.instruction));
  if (details.instruction != nullptr) find_module(module);
  details.module = module.path();
  // si_code > 0 means the kernel raised it for a real fault (not kill/raise).
  const bool kernel_fault = info != nullptr && info->si_code > 0;
  if (kernel_fault && (signal_number == SIGSEGV || signal_number == SIGBUS)) {
    if (signal_number == SIGSEGV) details.access = memory_access_kind(context);
    details.has_fault_address = true;
    details.fault_address = info->si_addr;
  }

  char line[MappedFileFinder::kMaxLine + 256];
  SignalSafeText out(line, sizeof(line) - 1);  // the last byte is kept for '\n'
  add_log_prefix(out);
  write_fatal_crash_line(out, static_cast<unsigned>(signal_number), details);
  const size_t length = out.view().size();
  line[length] = '\n';
  write_crash_line(std::string_view(line, length + 1));

  // SA_RESETHAND put the default action back; the re-raised signal is delivered
  // when this handler returns (a hardware fault also recurs), ending the process.
  raise(signal_number);
}

}  // namespace

ThreadCrashStack::ThreadCrashStack() {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t bytes = page + kAltStackBytes;
  void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) {
    const int error = errno;
    spdlog::warn("Crash handler: no alternate signal stack for this thread ({}); a stack overflow on it is not logged",
                 std::strerror(error));
    return;
  }
  // The lowest page stays inaccessible: overflowing the alternate stack faults
  // instead of writing over whatever lies below it.
  mprotect(mapping, page, PROT_NONE);

  stack_t stack{};
  stack.ss_sp = static_cast<char*>(mapping) + page;
  stack.ss_size = kAltStackBytes;
  stack_t previous{};
  if (sigaltstack(&stack, &previous) != 0) {
    const int error = errno;
    munmap(mapping, bytes);
    spdlog::warn("Crash handler: sigaltstack failed ({}); a stack overflow on this thread is not logged",
                 std::strerror(error));
    return;
  }
  mapping_ = mapping;
  mapping_bytes_ = bytes;
  previous_stack_ = previous.ss_sp;
  previous_bytes_ = previous.ss_size;
  previous_flags_ = previous.ss_flags & ~SS_ONSTACK;
}

ThreadCrashStack::~ThreadCrashStack() {
  if (mapping_ == nullptr) return;
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  stack_t current{};
  // Put the previous stack back only if ours is still the one in use; if
  // something replaced it, ours is no longer referenced either way.
  if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == static_cast<char*>(mapping_) + page) {
    stack_t previous{};
    previous.ss_sp = previous_stack_;
    previous.ss_size = previous_bytes_;
    previous.ss_flags = previous_flags_;
    sigaltstack(&previous, nullptr);
  }
  munmap(mapping_, mapping_bytes_);
}

bool set_crash_log_file(const std::string& path) {
  cache_utc_offset();
  if (path.empty() || path.size() >= sizeof(g_log_path)) {
    spdlog::warn("Crash handler: log path of {} bytes is unusable; a fatal crash is written to standard error only",
                 path.size());
    return false;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    spdlog::warn("Crash handler: cannot open {} ({}); a fatal crash is written to standard error only", path,
                 std::strerror(error));
    return false;
  }
  g_log_path_set.store(false);
  std::memcpy(g_log_path, path.c_str(), path.size() + 1);
  const int previous = g_log_fallback_fd.exchange(fd);
  if (previous >= 0) close(previous);
  g_log_path_set.store(true);
  return true;
}

void install_crash_handler() {
  // The main thread's stack stays for the whole run (crashes during exit included).
  static const ThreadCrashStack* const main_thread_stack = new ThreadCrashStack();
  (void)main_thread_stack;
  cache_utc_offset();

  struct sigaction action{};
  action.sa_sigaction = fatal_signal_handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kFatalSignals) sigaction(signal_number, &action, nullptr);
}

}  // namespace vn
