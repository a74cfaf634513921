#include "core/base/logging.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <memory>
#include <vector>

#include "core/base/crash_handler.h"

namespace vn {
namespace {

constexpr size_t kMaxLogFileBytes = 10 * 1024 * 1024;
constexpr size_t kRotatedFiles = 3;
// The Linux crash handler writes its line in the same shape by hand
// (add_log_prefix in crash_handler_linux.cpp).
constexpr const char* kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%t] %v";

}  // namespace

std::string log_file_path_for(const std::string& executable_path) {
  const size_t last_separator = executable_path.find_last_of("\\/");
  if (last_separator == std::string::npos) return "agent.log";
  return executable_path.substr(0, last_separator + 1) + "agent.log";
}

void setup_logging() {
  auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
  console->set_level(spdlog::level::info);
  std::vector<spdlog::sink_ptr> sinks{console};

  const std::string file_path = log_file_path_for(executable_path());
  std::string file_error;
  try {
    auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file_path, kMaxLogFileBytes,
                                                                       kRotatedFiles, false);
    file->set_level(spdlog::level::info);
    sinks.push_back(std::move(file));
  } catch (const spdlog::spdlog_ex& e) {
    // A read-only install folder must not stop the agent: it logs to the console.
    file_error = e.what();
  }

  auto logger = std::make_shared<spdlog::logger>("agent", sinks.begin(), sinks.end());
  logger->set_level(spdlog::level::info);
  logger->set_pattern(kPattern, spdlog::pattern_time_type::local);
  logger->flush_on(spdlog::level::info);
  spdlog::drop("agent");
  spdlog::set_default_logger(logger);
  spdlog::flush_every(std::chrono::seconds(1));

  if (!file_error.empty()) {
    spdlog::warn("Logging: cannot open {} ({}); logging to the console only", file_path, file_error);
  } else {
    set_crash_log_file(file_path);
  }
}

}  // namespace vn
