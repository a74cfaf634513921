#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace vn::test {

// A copy of a built executable in a folder of its own, started from another
// folder, so that agent.log must land beside the executable and not in the
// working one.
class InstalledExe {
 public:
  explicit InstalledExe(const std::filesystem::path& built_exe);

  ProcessResult run(const std::vector<std::string>& args) const;
  // Starts it and returns at once; `env` as for ChildProcess.
  std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args,
                                      const std::vector<std::string>& env = {}) const;
  std::string log() const;
  bool log_in_working_dir() const;
  const std::filesystem::path& exe() const { return exe_; }

 private:
  TempDir dir_;
  std::filesystem::path bin_, work_, exe_;
};

// True when `log` has a line "[<date time.ms>] [<level>] [<thread>] <message>".
bool has_log_line(const std::string& log, const std::string& level, const std::string& message);

}  // namespace vn::test
