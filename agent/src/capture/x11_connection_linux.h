#pragma once

#include <X11/Xlib.h>

#include <string>

namespace vn::capture {

// One Xlib connection and the extensions the capture uses on it. A lost
// connection (the server went away) is recorded, through Xlib's exit handler,
// instead of ending the process. Used on the capture thread only; not movable,
// since Xlib keeps its address.
class X11Connection {
 public:
  X11Connection() = default;
  ~X11Connection() { close(); }
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  // Connects to display `name` and queries the extensions. False when it
  // cannot connect. Closes a previous connection first.
  bool open(const std::string& name);

  // Disconnects; fine on a lost connection, harmless twice.
  void close();

  Display* display() const { return display_; }
  Window root() const { return root_; }
  const std::string& name() const { return name_; }
  bool is_open() const { return display_ != nullptr; }
  // The connection broke (set from inside whichever Xlib call noticed it);
  // every request on it is then a no-op until close().
  bool lost() const { return lost_; }
  bool alive() const { return display_ != nullptr && !lost_; }

  bool has_shm() const { return has_shm_; }
  bool has_xfixes() const { return has_xfixes_; }  // version 2 or later: regions and cursor images
  bool has_damage() const { return has_damage_; }  // and XFixes, which its regions need
  int xfixes_event_base() const { return xfixes_event_base_; }
  int damage_event_base() const { return damage_event_base_; }

 private:
  static void on_lost(Display* display, void* self);
  void query_extensions();

  std::string name_;
  Display* display_ = nullptr;
  Window root_ = 0;
  bool lost_ = false;
  bool has_shm_ = false;
  bool has_xfixes_ = false;
  bool has_damage_ = false;
  int xfixes_event_base_ = 0;
  int damage_event_base_ = 0;
};

}  // namespace vn::capture
