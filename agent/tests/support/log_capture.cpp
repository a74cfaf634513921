#include "support/log_capture.h"

namespace vn::test {

LogCapture::LogCapture() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096)) {
  previous_ = spdlog::default_logger();
  sink_->set_pattern("%l: %v");
  auto logger = std::make_shared<spdlog::logger>("capture", sink_);
  logger->set_level(spdlog::level::trace);
  spdlog::set_default_logger(logger);
}

LogCapture::~LogCapture() { spdlog::set_default_logger(previous_); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out = sink_->last_formatted();
  for (auto& line : out) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  }
  return out;
}

bool LogCapture::contains(const std::string& text) const {
  for (const auto& line : lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string LogCapture::dump() const {
  std::string out;
  for (const auto& line : lines()) out += line + "\n";
  return out;
}

}  // namespace vn::test
