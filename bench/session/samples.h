#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vn::bench {

// Durations in microseconds.
struct Samples {
  std::vector<uint64_t> values;

  void add(uint64_t v) { values.push_back(v); }
  bool empty() const { return values.empty(); }
  double mean() const {
    if (values.empty()) return 0.0;
    double sum = 0.0;
    for (uint64_t v : values) sum += static_cast<double>(v);
    return sum / static_cast<double>(values.size());
  }
  // Nearest rank: the smallest value with at least `fraction` of the samples at or below it.
  double percentile(double fraction) const {
    if (values.empty()) return 0.0;
    std::vector<uint64_t> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]);
  }
  uint64_t sum() const {
    uint64_t total = 0;
    for (uint64_t v : values) total += v;
    return total;
  }
};

// Microseconds as milliseconds.
inline double ms(double us) { return us / 1000.0; }

}  // namespace vn::bench
