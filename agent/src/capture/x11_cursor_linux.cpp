#include "capture/x11_cursor_linux.h"

#include <X11/extensions/Xfixes.h>

#include <utility>

namespace vn::capture {

void X11Cursor::reset() {
  image_ = {};
  pointer_x_ = pointer_y_ = 0;
  on_screen_ = false;
  image_stale_ = true;
  ++generation_;
}

void X11Cursor::query_position(Display* display, Window root) {
  Window root_return = 0;
  Window child = 0;
  int root_x = 0;
  int root_y = 0;
  int win_x = 0;
  int win_y = 0;
  unsigned int mask = 0;
  // False when the pointer is on another screen of the display (or the
  // connection broke, which the display's exit handler reports).
  on_screen_ = XQueryPointer(display, root, &root_return, &child, &root_x, &root_y, &win_x, &win_y, &mask) != False;
  if (!on_screen_) return;
  pointer_x_ = root_x;
  pointer_y_ = root_y;
}

void X11Cursor::refresh_image(Display* display, bool with_xfixes) {
  if (!image_stale_ || !with_xfixes) return;
  XFixesCursorImage* cursor = XFixesGetCursorImage(display);
  if (cursor == nullptr) return;  // stays stale: asked again next time
  image_stale_ = false;
  CursorImage fresh;
  fresh.width = cursor->width;
  fresh.height = cursor->height;
  fresh.hot_x = cursor->xhot;
  fresh.hot_y = cursor->yhot;
  const size_t count = size_t(cursor->width) * cursor->height;
  fresh.argb.resize(count);
  // Xlib hands out each 32-bit ARGB pixel in an unsigned long: 8 bytes on
  // 64-bit Linux, with the pixel in the low 32 bits.
  for (size_t i = 0; i < count; ++i) fresh.argb[i] = static_cast<uint32_t>(cursor->pixels[i]);
  XFree(cursor);
  // A notification for the same picture (a window with an equal cursor) is no change.
  if (fresh == image_) return;
  image_ = std::move(fresh);
  ++generation_;
}

}  // namespace vn::capture
