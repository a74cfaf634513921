// The fatal-signal handler for real, in forked children: it logs with the
// allocator blocked, logs a stack overflow on a thread that has a
// ThreadCrashStack, and a handler that gets stuck still ends the process.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "blocking_allocator.h"
#include "core/base/crash_handler.h"
#include "core/base/crash_restore.h"
#include "support/temp_dir.h"

namespace vn {
namespace {

constexpr int kNoCrashExit = 3;

struct ChildEnd {
  pid_t pid = 0;
  bool hung = false;  // still running a minute on: killed
  int signal = 0;     // the signal that ended it, 0 if it exited
  int exit_code = -1;
};

// Runs `body` in a forked child that has the crash handler installed and its
// crash log file at `log_path`, and waits for the child to end.
template <typename Body>
ChildEnd run_crashing_child(const std::string& log_path, Body body) {
  ChildEnd end;
  end.pid = fork();
  if (end.pid < 0) {
    ADD_FAILURE() << "fork failed: " << std::strerror(errno);
    return end;
  }
  if (end.pid == 0) {
    install_crash_handler();
    set_crash_log_file(log_path);
    body();
    _exit(kNoCrashExit);
  }
  // Far beyond the handler's alarm: only a handler that hangs gets here.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (waitpid(end.pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(end.pid, SIGKILL);
      waitpid(end.pid, &status, 0);
      end.hung = true;
      return end;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
  if (WIFEXITED(status)) end.exit_code = WEXITSTATUS(status);
  return end;
}

std::string this_program_path() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
  return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string regex_escaped(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

volatile std::uintptr_t g_bad_address = 0x10;

[[gnu::noinline]] void write_to_low_address() { *reinterpret_cast<volatile int*>(g_bad_address) = 1; }

// Never set: keeps the compiler from proving the recursion endless.
std::atomic<bool> g_stop_recursion{false};

[[gnu::noinline]] int recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (g_stop_recursion.load(std::memory_order_relaxed)) return frame[0];
  return recurse(depth + 1) + frame[0];
}

// Appends a line to g_marker_path with open/write only, as a restore that is
// safe in a signal handler would.
char g_marker_path[PATH_MAX];

class MarkingIsolation : public CrashRestorable {
 protected:
  void restore() override {
    const int fd = open(g_marker_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const char* text = crashed() ? "CrashTest: desktop restored (crashed=true)\n" : "CrashTest: restored, not crashed\n";
    if (write(fd, text, std::strlen(text)) < 0) _exit(4);
    close(fd);
  }
};

class StuckIsolation : public CrashRestorable {
 protected:
  void restore() override {
    for (;;) pause();
  }
};

TEST(FatalSignal, IsLoggedWhileTheAllocatorIsBlocked) {
  if (!test::allocation_can_be_blocked()) {
    GTEST_SKIP() << "the sanitizer runtime owns malloc in this build; the blocking allocator cannot replace it";
  }
  // The replacement must be in the path, or this test would prove nothing.
  const size_t calls_before = test::allocation_calls();
  const auto probe = std::make_unique<std::string>(100, 'x');
  ASSERT_GT(test::allocation_calls(), calls_before);

  const test::TempDir dir;
  const std::string log_path = (dir.path() / "agent.log").string();
  ASSERT_LT(log_path.size(), sizeof(g_marker_path));
  std::strcpy(g_marker_path, log_path.c_str());

  const std::time_t started = std::time(nullptr);
  const ChildEnd end = run_crashing_child(log_path, [] {
    static MarkingIsolation isolation;
    set_active_isolation(&isolation);
    test::block_allocation();
    write_to_low_address();
  });
  ASSERT_FALSE(end.hung) << "the handler blocked on the allocator";
  EXPECT_EQ(end.signal, SIGSEGV);

  const std::string log = test::read_text_file(log_path);
  const size_t restored_at = log.find("CrashTest: desktop restored (crashed=true)\n");
  const size_t fatal_at = log.find("Fatal crash:");
  ASSERT_NE(restored_at, std::string::npos) << log;
  ASSERT_NE(fatal_at, std::string::npos) << log;
  EXPECT_LT(restored_at, fatal_at);

  // The line as the log file's own lines look, from the crashed (main) thread.
  const std::regex line(R"(^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3}\] \[critical\] \[)" + std::to_string(end.pid) +
                            R"(\] Fatal crash: Unhandled OS exception 0xB \(SIGSEGV ip=0x[0-9a-f]+ module=)" +
                            regex_escaped(this_program_path()) + R"( access=write addr=0x10\)$)",
                        std::regex::ECMAScript | std::regex::multiline);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match, line)) << log;
  // Local time, as spdlog writes it.
  std::tm stamp{};
  ASSERT_NE(strptime(match[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &stamp), nullptr);
  stamp.tm_isdst = -1;
  const std::time_t logged = std::mktime(&stamp);
  EXPECT_GE(logged, started - 1) << match[1];
  EXPECT_LE(logged, std::time(nullptr) + 1) << match[1];
}

TEST(FatalSignal, StackOverflowOnAThreadWithACrashStackIsLogged) {
  const test::TempDir dir;
  const std::string log_path = (dir.path() / "agent.log").string();
  const ChildEnd end = run_crashing_child(log_path, [] {
    std::thread worker([] {
      const ThreadCrashStack crash_stack;
      recurse(0);
    });
    worker.join();
  });
  ASSERT_FALSE(end.hung);
  EXPECT_EQ(end.signal, SIGSEGV);
  const std::string log = test::read_text_file(log_path);
  const std::regex line(R"(^\[[-0-9 :.]+\] \[critical\] \[(\d+)\] Fatal crash: Unhandled OS exception 0xB \(SIGSEGV ip=0x[0-9a-f]+ module=\S+ access=\w+ addr=0x[0-9a-f]+\)$)",
                        std::regex::ECMAScript | std::regex::multiline);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match, line)) << log;
  EXPECT_NE(match[1], std::to_string(end.pid)) << "logged by the worker thread";
}

TEST(FatalSignal, AStuckHandlerIsEndedByItsAlarm) {
  const test::TempDir dir;
  const ChildEnd end = run_crashing_child((dir.path() / "agent.log").string(), [] {
    // As a library might have left them: SIGALRM ignored and blocked.
    std::signal(SIGALRM, SIG_IGN);
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm_only, nullptr);
    static StuckIsolation isolation;
    set_active_isolation(&isolation);
    write_to_low_address();
  });
  ASSERT_FALSE(end.hung) << "the stuck handler was not ended";
  EXPECT_EQ(end.signal, SIGALRM);
}

}  // namespace
}  // namespace vn
