#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vn::test {

struct XvfbOptions {
  uint32_t width = 640;
  uint32_t height = 480;
  uint32_t depth = 24;
  int display_number = -1;             // -1: the server picks a free one
  std::vector<std::string> extra_args;  // e.g. {"-extension", "MIT-SHM"} to turn one off
};

// A private Xvfb X server for one test or benchmark, stopped with the object.
class XvfbServer {
 public:
  XvfbServer() = default;
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // Starts Xvfb and waits (up to 30 s) until it accepts connections. False
  // when it could not start (not installed, display number taken, ...).
  // Stops a server started before.
  bool start(const XvfbOptions& options = {});

  // Terminates the server (SIGTERM, then waits for it). Harmless twice.
  void stop();

  bool running() const { return pid_ > 0; }
  int display_number() const { return display_number_; }
  // ":N", for XOpenDisplay or $DISPLAY.
  std::string display_name() const { return ":" + std::to_string(display_number_); }

 private:
  pid_t pid_ = -1;
  int display_number_ = -1;
};

// Sets an environment variable for the object's life and restores the old
// value (or its absence) afterwards. nullptr unsets it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_value_ = false;
  std::string old_value_;
};

}  // namespace vn::test
