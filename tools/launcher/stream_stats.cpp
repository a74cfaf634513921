#include "stream_stats.h"

#include <algorithm>
#include <cmath>

namespace vn::launcher {

void InterarrivalJitter::add(uint64_t send_us, uint64_t arrival_us) {
  if (have_previous_) {
    const double d = (double(arrival_us) - double(previous_arrival_)) - (double(send_us) - double(previous_send_));
    jitter_us_ += (std::abs(d) - jitter_us_) / 16.0;
  }
  have_previous_ = true;
  previous_send_ = send_us;
  previous_arrival_ = arrival_us;
}

LatencySamples::LatencySamples(size_t capacity) : capacity_(std::max<size_t>(1, capacity)) {}

void LatencySamples::add(uint64_t latency_us) {
  ++seen_;
  if (samples_.size() < capacity_) {
    samples_.push_back(latency_us);
    return;
  }
  const uint64_t slot = std::uniform_int_distribution<uint64_t>(0, seen_ - 1)(random_);
  if (slot < capacity_) samples_[slot] = latency_us;
}

std::optional<double> LatencySamples::percentile_ms(double p) const {
  if (samples_.empty() || !(p > 0) || p > 100) return std::nullopt;
  std::vector<uint64_t> sorted = samples_;
  const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * double(sorted.size())));
  const size_t index = std::clamp<size_t>(rank, 1, sorted.size()) - 1;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(index), sorted.end());
  return double(sorted[index]) / 1000.0;
}

}  // namespace vn::launcher
