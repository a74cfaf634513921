#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "capture/captured_frame.h"
#include "capture/cursor_compose.h"

namespace vn::capture {

// The mouse cursor of one X screen: where it is (XQueryPointer) and what it
// looks like (XFixesGetCursorImage, fetched again only after a cursor-change
// notification). Used on the capture thread only.
class X11Cursor {
 public:
  // Forgets position and picture; the next refresh_image() fetches again.
  void reset();

  // The displayed cursor changed (XFixesCursorNotify): fetch its picture again.
  void mark_image_stale() { image_stale_ = true; }

  // Reads the pointer position: one round trip, so every event the server sent
  // before it is queued when it returns.
  void query_position(Display* display, Window root);

  // Fetches the cursor picture when it is stale. `with_xfixes` false: the
  // server cannot tell, and no cursor is drawn.
  void refresh_image(Display* display, bool with_xfixes);

  // Whether a cursor is drawn: its picture is known and the pointer is on this
  // screen.
  bool visible() const { return on_screen_ && !image_.empty(); }
  const CursorImage& image() const { return image_; }
  // Top-left corner of the picture on the screen.
  int32_t left() const { return pointer_x_ - image_.hot_x; }
  int32_t top() const { return pointer_y_ - image_.hot_y; }
  // Changes whenever the picture does.
  uint64_t image_generation() const { return generation_; }

 private:
  CursorImage image_;
  int32_t pointer_x_ = 0;
  int32_t pointer_y_ = 0;
  bool on_screen_ = false;
  bool image_stale_ = true;
  uint64_t generation_ = 0;
};

}  // namespace vn::capture
