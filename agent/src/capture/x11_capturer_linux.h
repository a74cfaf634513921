#pragma once

#include <memory>

#include "capture/desktop_capturer.h"

namespace vn::capture {

// The capturer of the X11 display named by $DISPLAY: the whole root window
// (output 0) read over MIT-SHM (XGetImage without it), changes from XDamage,
// the cursor from XFixes drawn in. Survives the X server's errors and a lost
// connection (it re-connects on the next capture).
std::unique_ptr<DesktopCapturer> make_x11_capturer();

}  // namespace vn::capture
