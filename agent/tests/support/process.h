#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vn::test {

struct ProcessResult {
  bool started = false;
  int exit_code = -1;     // valid when the process exited normally
  int term_signal = 0;    // non-zero when a signal ended it (POSIX only)
  std::string std_out;    // everything written to standard output
};

// A child process whose standard output is collected by a thread of its own;
// standard error goes to the caller's. The destructor kills a child that is
// still running and reaps it.
class ChildProcess {
 public:
  // `env` entries are "NAME=value" added to (or replacing in) the caller's
  // environment; "NAME=" with nothing after the '=' removes NAME.
  ChildProcess(const std::string& exe, const std::vector<std::string>& args, const std::string& working_dir,
               const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const;
  // The operating system's process id; 0 when not started.
  long pid() const;
  // Asks the child to stop as Ctrl+C would (SIGINT on POSIX; on Windows the
  // child is terminated with exit code 130).
  void interrupt();
  // Waits up to `timeout` for the child to exit; empty when it still runs.
  std::optional<ProcessResult> wait_for(std::chrono::milliseconds timeout);
  ProcessResult wait();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether ChildProcess::interrupt() lets the child stop cleanly (POSIX) or
// ends it at once (Windows).
bool interrupt_is_graceful();

// Runs `exe` with `args` in `working_dir` and waits for it.
ProcessResult run_process(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& working_dir);

// `text` with every '\r' removed: Windows consoles end lines with "\r\n".
std::string without_carriage_returns(std::string text);

}  // namespace vn::test
