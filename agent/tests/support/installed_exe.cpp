#include "support/installed_exe.h"

#include <chrono>
#include <regex>

namespace vn::test {

namespace fs = std::filesystem;

InstalledExe::InstalledExe(const fs::path& built_exe) {
  bin_ = dir_.path() / "bin";
  work_ = dir_.path() / "work";
  fs::create_directories(bin_);
  fs::create_directories(work_);
  exe_ = bin_ / built_exe.filename();
  fs::copy_file(built_exe, exe_);
}

ProcessResult InstalledExe::run(const std::vector<std::string>& args) const {
  return run_process(exe_.string(), args, work_.string());
}

std::unique_ptr<ChildProcess> InstalledExe::start(const std::vector<std::string>& args,
                                                  const std::vector<std::string>& env) const {
  return std::make_unique<ChildProcess>(exe_.string(), args, work_.string(), env);
}

std::string InstalledExe::log() const { return read_text_file(bin_ / "agent.log"); }

bool InstalledExe::log_in_working_dir() const { return fs::exists(work_ / "agent.log"); }

std::string without_carriage_returns(std::string text) {
  std::erase(text, '\r');
  return text;
}

bool has_log_line(const std::string& log, const std::string& level, const std::string& message) {
  const std::string escaped = std::regex_replace(message, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
  const std::regex line(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[)" + level + R"(\] \[\d+\] )" + escaped +
                            "\r?$",
                        std::regex::ECMAScript | std::regex::multiline);
  return std::regex_search(log, line);
}

}  // namespace vn::test
