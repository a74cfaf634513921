#pragma once

#include <windows.h>

namespace vn::capture {

// The mouse cursor as it is to be drawn into a capture of the desktop area
// whose top-left corner is at (origin_x, origin_y) in screen coordinates.
struct ScreenCursor {
  HCURSOR handle = nullptr;  // shared system cursor: never destroyed by us
  int x = 0;                 // where its picture's top-left corner goes, hotspot subtracted
  int y = 0;
};

// False when there is nothing to draw: GetCursorInfo fails, the cursor is
// hidden, or its icon information can't be read. Uses only plain locals, so
// it may run inside a structured-exception guard.
bool find_screen_cursor(LONG origin_x, LONG origin_y, ScreenCursor& out);

}  // namespace vn::capture
