#include "capture/x11_errors_linux.h"

#include <spdlog/spdlog.h>

#include <mutex>
#include <unordered_map>

#include "core/base/log_limit.h"

namespace vn::capture {
namespace {

struct ErrorRecord {
  uint64_t count = 0;
  int last_code = 0;
};

// Written by the error handler, which Xlib calls on whichever thread reads the
// failing reply; hence the lock.
std::mutex g_mutex;
std::unordered_map<Display*, ErrorRecord> g_errors;
LogLimit g_error_log;

int on_x_error(Display* display, XErrorEvent* event) {
  char text[128] = {};
  // Local lookup in Xlib's error database; sends no request.
  XGetErrorText(display, event->error_code, text, sizeof(text));
  bool log = false;
  {
    std::lock_guard lock(g_mutex);
    ErrorRecord& record = g_errors[display];
    ++record.count;
    record.last_code = event->error_code;
    log = g_error_log.next();
  }
  if (log) {
    spdlog::warn("X11Capture: X error {} ({}) on request {}.{}, serial {}", static_cast<int>(event->error_code),
                 text, static_cast<int>(event->request_code), static_cast<int>(event->minor_code),
                 event->serial);
  }
  return 0;
}

ErrorRecord record_of(Display* display) {
  std::lock_guard lock(g_mutex);
  const auto it = g_errors.find(display);
  return it == g_errors.end() ? ErrorRecord{} : it->second;
}

// Returning is allowed since libX11 1.7: Xlib then calls the display's exit
// handler (exit(1) unless one was set with XSetIOErrorExitHandler).
int on_x_io_error(Display*) { return 0; }

}  // namespace

void install_x11_error_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    XSetErrorHandler(on_x_error);
    XSetIOErrorHandler(on_x_io_error);
  });
}

void forget_x11_errors(Display* display) {
  std::lock_guard lock(g_mutex);
  g_errors.erase(display);
}

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display), start_count_(record_of(display).count) {}

bool X11ErrorTrap::sync_failed() {
  XSync(display_, False);
  const ErrorRecord record = record_of(display_);
  if (record.count == start_count_) return false;
  error_code_ = record.last_code;
  start_count_ = record.count;
  return true;
}

}  // namespace vn::capture
