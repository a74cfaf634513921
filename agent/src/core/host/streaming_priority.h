#pragma once

#include <memory>

namespace vn {

// Raises the calling thread's scheduling for the frame loop while it streams
// and puts everything back when it goes (or on restore()). Windows: 1 ms timer
// resolution and the MMCSS "Pro Audio" task at critical priority. Linux: a
// higher priority (lower nice value) for the thread when the process may take
// one. Failures are silent: streaming goes on at normal priority.
class StreamingPriority {
 public:
  static std::unique_ptr<StreamingPriority> Create();

  virtual ~StreamingPriority() = default;
  // Undoes the changes; harmless twice. Call from the thread that created it.
  virtual void restore() = 0;
};

}  // namespace vn
