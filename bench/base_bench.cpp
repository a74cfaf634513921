// Costs of the process-wide helpers that sit on the per-frame and per-packet paths.
#include <benchmark/benchmark.h>

#include "core/base/clock.h"

namespace {

// now_us stamps every packet and paces every frame.
void BM_NowUs(benchmark::State& state) {
  vn::init_clock();
  for (auto _ : state) benchmark::DoNotOptimize(vn::now_us());
}
BENCHMARK(BM_NowUs);

}  // namespace
