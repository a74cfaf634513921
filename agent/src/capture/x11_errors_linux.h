#pragma once

#include <X11/Xlib.h>

#include <cstdint>

namespace vn::capture {

// Installs, once per process, X error handlers that keep the process alive:
// protocol errors (BadMatch, BadAccess...) are counted per display and logged
// (rate-limited) instead of exiting, and the I/O error handler returns so that
// a display's exit handler (XSetIOErrorExitHandler, libX11 >= 1.7) decides what
// a lost connection does. Displays without an exit handler of their own still
// exit as before.
void install_x11_error_handlers();

// Forgets the counters of a display that is being closed.
void forget_x11_errors(Display* display);

// Counts the protocol errors `display` receives from its construction on.
// Used on the thread that owns the display.
class X11ErrorTrap {
 public:
  explicit X11ErrorTrap(Display* display);

  // Waits until the server has handled every request sent so far (XSync) and
  // tells whether any of them failed since the trap was made.
  bool sync_failed();

  // The X error code of the last failure seen by sync_failed(); 0 for none.
  int error_code() const { return error_code_; }

 private:
  Display* display_;
  uint64_t start_count_;
  int error_code_ = 0;
};

}  // namespace vn::capture
