// Paints the X display's root window so that a capture has something to
// show: by default moving colour bars and a bouncing square (a busy screen),
// or with --fill RRGGBB one flat colour (a known picture for checks). Runs
// until SIGINT/SIGTERM, or for --seconds.
#include <X11/Xlib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_signal(int) { g_stop = 1; }

struct Options {
  bool fill = false;
  unsigned long fill_rgb = 0;
  int fps = 30;
  double seconds = 0;  // 0: until stopped
};

void usage() {
  std::fprintf(stderr,
               "Usage: screen_painter [--fill RRGGBB] [--fps N] [--seconds S]\n"
               "Paints the root window of $DISPLAY: moving bars, or one flat colour with --fill.\n");
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    char* end = nullptr;
    if (arg == "--fill" && has_value) {
      const std::string value = argv[++i];
      options.fill_rgb = std::strtoul(value.c_str(), &end, 16);
      if (value.size() != 6 || *end != '\0') return false;
      options.fill = true;
    } else if (arg == "--fps" && has_value) {
      options.fps = static_cast<int>(std::strtol(argv[++i], &end, 10));
      if (*end != '\0' || options.fps < 1 || options.fps > 240) return false;
    } else if (arg == "--seconds" && has_value) {
      options.seconds = std::strtod(argv[++i], &end);
      if (*end != '\0' || options.seconds < 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

// A pixel value for 8-bit channels on a TrueColor visual.
unsigned long pixel_of(const Visual* visual, unsigned r, unsigned g, unsigned b) {
  auto place = [](unsigned long mask, unsigned value) {
    if (mask == 0) return 0UL;
    int shift = 0;
    while (((mask >> shift) & 1UL) == 0) ++shift;
    int bits = 0;
    while (((mask >> (shift + bits)) & 1UL) != 0) ++bits;
    return (static_cast<unsigned long>(value >> (8 - bits)) << shift) & mask;
  };
  return place(visual->red_mask, r) | place(visual->green_mask, g) | place(visual->blue_mask, b);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    usage();
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "screen_painter: cannot open display '%s'\n", std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
    return 1;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);

  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  const Visual* visual = DefaultVisual(display, screen);
  const int width = DisplayWidth(display, screen);
  const int height = DisplayHeight(display, screen);
  GC gc = XCreateGC(display, root, 0, nullptr);

  const auto period = std::chrono::microseconds(1'000'000 / options.fps);
  const auto start = std::chrono::steady_clock::now();
  auto next = start;
  for (long frame = 0; g_stop == 0; ++frame) {
    if (options.fill) {
      XSetForeground(display, gc,
                     pixel_of(visual, (options.fill_rgb >> 16) & 0xFF, (options.fill_rgb >> 8) & 0xFF,
                              options.fill_rgb & 0xFF));
      XFillRectangle(display, root, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    } else {
      // Eight vertical bars whose colours drift, and a white square crossing them.
      const int bar = (width + 7) / 8;
      for (int i = 0; i < 8; ++i) {
        const unsigned phase = static_cast<unsigned>(frame * 3 + i * 32);
        XSetForeground(display, gc, pixel_of(visual, (phase * 5) & 0xFF, (phase * 3 + 80) & 0xFF, (255 - phase) & 0xFF));
        XFillRectangle(display, root, gc, i * bar, 0, static_cast<unsigned>(bar), static_cast<unsigned>(height));
      }
      const int side = height / 5;
      const long span_x = width - side;
      const long span_y = height - side;
      const long x = span_x > 0 ? std::labs((frame * 7) % (2 * span_x) - span_x) : 0;
      const long y = span_y > 0 ? std::labs((frame * 5) % (2 * span_y) - span_y) : 0;
      XSetForeground(display, gc, pixel_of(visual, 255, 255, 255));
      XFillRectangle(display, root, gc, static_cast<int>(x), static_cast<int>(y), static_cast<unsigned>(side),
                     static_cast<unsigned>(side));
    }
    XFlush(display);
    if (options.seconds > 0 &&
        std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(options.seconds)) {
      break;
    }
    next += period;
    std::this_thread::sleep_until(next);
  }
  XFreeGC(display, gc);
  XCloseDisplay(display);
  return 0;
}
