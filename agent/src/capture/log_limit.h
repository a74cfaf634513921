#pragma once

#include <cstdint>

namespace vn::capture {

// Decides which occurrences of a message that can repeat every frame get
// logged: the first 5, then every 120th. Not thread-safe; one per call site
// and owner.
class LogLimit {
 public:
  // Counts one occurrence; true when this one should be logged.
  bool next() {
    ++count_;
    return count_ <= 5 || count_ % 120 == 0;
  }
  uint64_t count() const { return count_; }
  void reset() { count_ = 0; }

 private:
  uint64_t count_ = 0;
};

}  // namespace vn::capture
