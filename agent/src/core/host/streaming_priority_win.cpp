#include "core/host/streaming_priority.h"

#include <windows.h>
#include <avrt.h>
#include <timeapi.h>

#include <spdlog/spdlog.h>

namespace vn {
namespace {

class WindowsStreamingPriority final : public StreamingPriority {
 public:
  WindowsStreamingPriority() {
    timer_period_set_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    DWORD task_index = 0;
    mmcss_ = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);
    if (mmcss_ != nullptr) {
      AvSetMmThreadPriority(mmcss_, AVRT_PRIORITY_CRITICAL);
      spdlog::info("MMCSS: pipeline thread promoted to Pro Audio / Critical");
    }
  }
  ~WindowsStreamingPriority() override { restore(); }

  void restore() override {
    if (mmcss_ != nullptr) {
      AvRevertMmThreadCharacteristics(mmcss_);
      mmcss_ = nullptr;
    }
    if (timer_period_set_) {
      timeEndPeriod(1);
      timer_period_set_ = false;
    }
  }

 private:
  HANDLE mmcss_ = nullptr;
  bool timer_period_set_ = false;
};

}  // namespace

std::unique_ptr<StreamingPriority> StreamingPriority::Create() { return std::make_unique<WindowsStreamingPriority>(); }

}  // namespace vn
