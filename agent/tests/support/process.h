#pragma once

#include <string>
#include <vector>

namespace vn::test {

struct ProcessResult {
  bool started = false;
  int exit_code = -1;     // valid when the process exited normally
  int term_signal = 0;    // non-zero when a signal ended it (POSIX only)
  std::string std_out;    // everything written to standard output
};

// Runs `exe` with `args` in `working_dir` and waits for it. Standard error
// goes to the caller's standard error.
ProcessResult run_process(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& working_dir);

// `text` with every '\r' removed: Windows consoles end lines with "\r\n".
std::string without_carriage_returns(std::string text);

}  // namespace vn::test
