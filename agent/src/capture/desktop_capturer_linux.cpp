#include "capture/desktop_capturer.h"

#include "capture/x11_capturer_linux.h"

namespace vn::capture {

std::unique_ptr<DesktopCapturer> DesktopCapturer::Create() { return make_x11_capturer(); }

}  // namespace vn::capture
