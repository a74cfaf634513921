#include "capture/x11_connection_linux.h"

#include <spdlog/spdlog.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include "capture/x11_errors_linux.h"

namespace vn::capture {

bool X11Connection::open(const std::string& name) {
  close();
  install_x11_error_handlers();
  name_ = name;
  display_ = XOpenDisplay(name.c_str());
  if (display_ == nullptr) return false;
  // Without it, a lost connection makes Xlib call exit(1).
  XSetIOErrorExitHandler(display_, &X11Connection::on_lost, this);
  root_ = DefaultRootWindow(display_);
  query_extensions();
  if (lost_) {
    close();
    return false;
  }
  return true;
}

void X11Connection::query_extensions() {
  has_shm_ = XShmQueryExtension(display_) != False;
  int error_base = 0;
  has_xfixes_ = XFixesQueryExtension(display_, &xfixes_event_base_, &error_base) != False;
  if (has_xfixes_) {
    int major = 4;
    int minor = 0;
    has_xfixes_ = XFixesQueryVersion(display_, &major, &minor) != 0 && major >= 2;
  }
  has_damage_ = has_xfixes_ && XDamageQueryExtension(display_, &damage_event_base_, &error_base) != False;
  if (has_damage_) {
    int major = 1;
    int minor = 1;
    has_damage_ = XDamageQueryVersion(display_, &major, &minor) != 0;
  }
}

void X11Connection::on_lost(Display*, void* self) {
  auto* connection = static_cast<X11Connection*>(self);
  if (!connection->lost_) {
    spdlog::warn("X11Capture: connection to display {} lost; re-connecting on the next capture", connection->name_);
  }
  connection->lost_ = true;
}

void X11Connection::close() {
  if (display_ != nullptr) {
    Display* display = display_;
    XCloseDisplay(display);  // on a lost connection Xlib skips the requests and frees
    forget_x11_errors(display);
  }
  display_ = nullptr;
  root_ = 0;
  lost_ = false;
  has_shm_ = has_xfixes_ = has_damage_ = false;
}

}  // namespace vn::capture
