#pragma once

#include <atomic>
#include <cstdint>

// The rule for log lines that could repeat every frame or every packet: the
// first 5 occurrences are logged, then every 120th. Counted, never timed, so
// that a burst cannot hide its first lines and a long run still shows it goes on.
namespace vn {

inline constexpr uint64_t kLogFirstOccurrences = 5;
inline constexpr uint64_t kLogEveryNthOccurrence = 120;

// True when occurrence number `count` (from 1) should be logged.
constexpr bool log_occurrence(uint64_t count) {
  return count <= kLogFirstOccurrences || count % kLogEveryNthOccurrence == 0;
}

// Counts one occurrence on a counter shared between threads; true when this
// one should be logged.
inline bool log_occurrence(std::atomic<uint64_t>& count) {
  return log_occurrence(count.fetch_add(1, std::memory_order_relaxed) + 1);
}

// One call site's counter. Not thread-safe; one per call site and owner.
class LogLimit {
 public:
  // Counts one occurrence; true when this one should be logged.
  bool next() { return log_occurrence(++count_); }
  uint64_t count() const { return count_; }
  void reset() { count_ = 0; }

 private:
  uint64_t count_ = 0;
};

}  // namespace vn
