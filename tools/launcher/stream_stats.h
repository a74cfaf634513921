#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace vn::launcher {

// RFC 3550 interarrival jitter (section 6.4.1) with the capture timestamp as
// the send time and the frame's completion as the arrival:
//   D = (R_j - R_i) - (S_j - S_i),  J += (|D| - J) / 16,
// over consecutive completed frames that carry a timestamp. Only differences
// of each clock are used, so sender and receiver need not share a clock.
class InterarrivalJitter {
 public:
  void add(uint64_t send_us, uint64_t arrival_us);
  double jitter_ms() const { return jitter_us_ / 1000.0; }

 private:
  bool have_previous_ = false;
  uint64_t previous_send_ = 0;
  uint64_t previous_arrival_ = 0;
  double jitter_us_ = 0;
};

// Latency samples (µs) for percentiles in bounded memory: every sample is
// kept up to `capacity`, after that a uniform random subset of that size
// (reservoir sampling, fixed seed), so long sessions stay representative.
class LatencySamples {
 public:
  explicit LatencySamples(size_t capacity = size_t{1} << 17);

  void add(uint64_t latency_us);
  uint64_t count() const { return seen_; }
  // Nearest-rank percentile (0 < p <= 100) in milliseconds; empty without samples.
  std::optional<double> percentile_ms(double p) const;

 private:
  size_t capacity_;
  uint64_t seen_ = 0;
  std::vector<uint64_t> samples_;
  std::mt19937_64 random_{0x5EED};
};

}  // namespace vn::launcher
