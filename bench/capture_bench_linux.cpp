// X11 capture costs on a private 1920x1080 Xvfb: a full-screen change (the
// MIT-SHM read, the copy into the compose buffer and the cursor), a cursor
// move over a still screen, and a poll that finds nothing. Wall-clock time,
// since half of a capture is the X server's work in its own process.
#include <benchmark/benchmark.h>
#include <X11/Xlib.h>

#include <cstdlib>
#include <memory>

#include "capture/desktop_capturer.h"
#include "support/xvfb_linux.h"

namespace {

using vn::capture::CaptureStatus;
using vn::capture::DesktopCapturer;

constexpr unsigned kWidth = 1920;
constexpr unsigned kHeight = 1080;

// One server for every capture benchmark, started on first use and stopped at exit.
const char* bench_display() {
  static vn::test::XvfbServer server;
  static bool started = false;
  if (!started) {
    vn::test::XvfbOptions options;
    options.width = kWidth;
    options.height = kHeight;
    started = server.start(options);
    if (started) setenv("DISPLAY", server.display_name().c_str(), 1);
  }
  return started ? std::getenv("DISPLAY") : nullptr;
}

// The benchmark's drawing connection and a capturer with its first frame taken.
struct Setup {
  Display* painter = nullptr;
  GC gc{};
  std::unique_ptr<DesktopCapturer> capturer;
  vn::capture::CapturedFrame frame;

  bool open(benchmark::State& state) {
    const char* name = bench_display();
    if (name == nullptr) {
      state.SkipWithError("Xvfb did not start");
      return false;
    }
    painter = XOpenDisplay(name);
    if (painter == nullptr) {
      state.SkipWithError("cannot open the Xvfb display");
      return false;
    }
    warp(100, 100);  // away from where the cursor benchmark moves it
    capturer = DesktopCapturer::Create();
    if (!capturer->initialize() || !capturer->select_output(0) ||
        capturer->capture_frame(frame) != CaptureStatus::kNewFrame) {
      state.SkipWithError("X11 capture could not start");
      return false;
    }
    gc = XCreateGC(painter, DefaultRootWindow(painter), 0, nullptr);
    return true;
  }

  ~Setup() {
    capturer.reset();
    if (painter != nullptr) {
      XFreeGC(painter, gc);
      XCloseDisplay(painter);
    }
  }

  void fill_screen(unsigned long rgb) {
    XSetForeground(painter, gc, rgb);
    XFillRectangle(painter, DefaultRootWindow(painter), gc, 0, 0, kWidth, kHeight);
    XSync(painter, False);
  }

  void warp(int x, int y) {
    XWarpPointer(painter, None, DefaultRootWindow(painter), 0, 0, 0, 0, x, y);
    XSync(painter, False);
  }
};

void BM_X11CaptureFullScreenChange(benchmark::State& state) {
  Setup setup;
  if (!setup.open(state)) return;
  unsigned long colour = 0x102030;
  for (auto _ : state) {
    state.PauseTiming();
    colour ^= 0xFFFFFF;
    setup.fill_screen(colour);
    state.ResumeTiming();
    if (setup.capturer->capture_frame(setup.frame) != CaptureStatus::kNewFrame) {
      state.SkipWithError("no new frame");
      break;
    }
  }
}
BENCHMARK(BM_X11CaptureFullScreenChange)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_X11CaptureCursorMove(benchmark::State& state) {
  Setup setup;
  if (!setup.open(state)) return;
  int x = 500;
  for (auto _ : state) {
    state.PauseTiming();
    x = x == 500 ? 900 : 500;
    setup.warp(x, 400);
    state.ResumeTiming();
    if (setup.capturer->capture_frame(setup.frame) != CaptureStatus::kNewFrame) {
      state.SkipWithError("no new frame");
      break;
    }
  }
}
BENCHMARK(BM_X11CaptureCursorMove)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_X11CaptureNoChange(benchmark::State& state) {
  Setup setup;
  if (!setup.open(state)) return;
  for (auto _ : state) {
    if (setup.capturer->capture_frame(setup.frame) != CaptureStatus::kNoChange) {
      state.SkipWithError("unexpected change");
      break;
    }
  }
}
BENCHMARK(BM_X11CaptureNoChange)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
