#include "capture/screen_cursor_win.h"

namespace vn::capture {

bool find_screen_cursor(LONG origin_x, LONG origin_y, ScreenCursor& out) {
  CURSORINFO info{};
  info.cbSize = sizeof(info);
  if (!GetCursorInfo(&info) || (info.flags & CURSOR_SHOWING) == 0) return false;
  ICONINFO icon{};
  if (!GetIconInfo(info.hCursor, &icon)) return false;
  // GetIconInfo hands out copies of the cursor's bitmaps.
  if (icon.hbmMask != nullptr) DeleteObject(icon.hbmMask);
  if (icon.hbmColor != nullptr) DeleteObject(icon.hbmColor);
  out.handle = info.hCursor;
  out.x = static_cast<int>(info.ptScreenPos.x - origin_x - static_cast<LONG>(icon.xHotspot));
  out.y = static_cast<int>(info.ptScreenPos.y - origin_y - static_cast<LONG>(icon.yHotspot));
  return true;
}

}  // namespace vn::capture
