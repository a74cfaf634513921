#include "core/host/streaming_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace vn {
namespace {

// Linux gives each thread its own nice value (setpriority on the thread id).
// Only a process allowed to raise priority (CAP_SYS_NICE or RLIMIT_NICE) gets
// the boost; others keep theirs without a word.
class LinuxStreamingPriority final : public StreamingPriority {
 public:
  LinuxStreamingPriority() : thread_id_(static_cast<id_t>(syscall(SYS_gettid))) {
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, thread_id_);
    if (errno != 0) return;
    if (current > kStreamingNice && setpriority(PRIO_PROCESS, thread_id_, kStreamingNice) == 0) {
      previous_nice_ = current;
      raised_ = true;
    }
  }
  ~LinuxStreamingPriority() override { restore(); }

  void restore() override {
    if (!raised_) return;
    setpriority(PRIO_PROCESS, thread_id_, previous_nice_);  // lowering needs no privilege
    raised_ = false;
  }

 private:
  static constexpr int kStreamingNice = -10;
  id_t thread_id_;
  int previous_nice_ = 0;
  bool raised_ = false;
};

}  // namespace

std::unique_ptr<StreamingPriority> StreamingPriority::Create() { return std::make_unique<LinuxStreamingPriority>(); }

}  // namespace vn
