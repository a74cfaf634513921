// A captured X11 desktop goes through the software encoder and decodes back
// to the picture on the screen, with key frames on request.
#include <gtest/gtest.h>
#include <X11/Xlib.h>

#include <cmath>
#include <optional>

#include "capture/desktop_capturer.h"
#include "encode/i420_convert.h"
#include "encode/software_encoder.h"
#include "h264_decoder.h"
#include "support/xvfb_linux.h"

namespace vn::capture {
namespace {

using capture::CapturedFrame;
using encode::EncodedFrame;

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;

void fill(Display* display, int x, int y, unsigned w, unsigned h, unsigned long rgb) {
  const Window root = DefaultRootWindow(display);
  GC gc = XCreateGC(display, root, 0, nullptr);
  XSetForeground(display, gc, rgb);
  XFillRectangle(display, root, gc, x, y, w, h);
  XFreeGC(display, gc);
  XSync(display, False);
}

TEST(CaptureEncode, CapturedDesktopDecodesBackWithKeyFramesOnRequest) {
  test::XvfbServer server;
  test::XvfbOptions options;
  options.width = kWidth;
  options.height = kHeight;
  ASSERT_TRUE(server.start(options)) << "Xvfb did not start (scripts/install-deps.sh installs it)";
  const test::ScopedEnv env("DISPLAY", server.display_name().c_str());
  Display* display = XOpenDisplay(server.display_name().c_str());
  ASSERT_NE(display, nullptr);
  XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, kWidth - 1, kHeight - 1);
  fill(display, 0, 0, kWidth, kHeight, 0x203040);
  fill(display, 40, 40, 120, 80, 0xE0E0E0);
  fill(display, 200, 120, 80, 80, 0xC01010);

  auto capturer = DesktopCapturer::Create();
  ASSERT_TRUE(capturer->initialize());
  ASSERT_TRUE(capturer->select_output(0));
  encode::SoftwareEncoder encoder;
  encode::EncoderConfig config;
  config.width = kWidth;
  config.height = kHeight;
  config.fps = 30;
  config.bitrate_bps = 3000000;
  ASSERT_TRUE(encoder.initialize(capturer->device(), config));
  launcher::H264Decoder decoder;

  for (int n = 0; n < 4; ++n) {
    SCOPED_TRACE(n);
    if (n == 2) encoder.request_idr();
    fill(display, 10 + n * 20, 180, 16, 16, 0x10C010);  // something new each frame
    CapturedFrame frame;
    ASSERT_EQ(capturer->capture_frame(frame), CaptureStatus::kNewFrame);
    EncodedFrame out;
    ASSERT_TRUE(encoder.encode(frame, out));
    EXPECT_EQ(out.key_frame, n == 0 || n == 2);
    EXPECT_EQ(out.frame_number, frame.frame_number);

    launcher::DecodedPicture picture;
    ASSERT_TRUE(decoder.decode(out.data, picture));
    ASSERT_EQ(picture.width, kWidth);
    ASSERT_EQ(picture.height, kHeight);
    std::vector<uint8_t> expected(encode::I420Layout::of(kWidth, kHeight).total_size());
    encode::convert_to_i420(frame.picture.pixels, frame.picture.row_pitch, frame.picture.order, kWidth, kHeight,
                            expected.data());
    double squared = 0;
    for (size_t i = 0; i < size_t{kWidth} * kHeight; ++i) {
      const double d = double(picture.i420[i]) - double(expected[i]);
      squared += d * d;
    }
    const double psnr = 10 * std::log10(255.0 * 255.0 / std::max(squared / (kWidth * kHeight), 1e-9));
    EXPECT_GT(psnr, 35.0);
    // The light patch is light in the decoded luma: Y of 0xE0E0E0 is 209.
    EXPECT_NEAR(picture.i420[size_t{80} * kWidth + 100], 209, 6);
    capturer->release_frame();
  }
  XCloseDisplay(display);
}

}  // namespace
}  // namespace vn::capture
