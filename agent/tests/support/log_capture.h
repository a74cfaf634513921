#pragma once

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <vector>

namespace vn::test {

// Replaces the default logger with one that remembers the formatted messages
// ("<level>: <message>") while the object lives; the previous one comes back
// afterwards.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  // True when some message contains `text`.
  bool contains(const std::string& text) const;
  // "level: message" of every line, joined by newlines, for failure output.
  std::string dump() const;

 private:
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace vn::test
