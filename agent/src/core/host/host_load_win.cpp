#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "core/host/host_load.h"

namespace vn {
namespace {

struct PdhQueryClose {
  void operator()(PDH_HQUERY query) const { PdhCloseQuery(query); }
};
// Counters added to a query are freed with it.
using PdhQuery = std::unique_ptr<std::remove_pointer_t<PDH_HQUERY>, PdhQueryClose>;

bool pdh_ok(PDH_STATUS status) { return status == static_cast<PDH_STATUS>(ERROR_SUCCESS); }

uint64_t ticks(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Cumulative system times, 100 ns units.
struct CpuTimes {
  uint64_t total = 0;  // kernel + user (kernel includes idle)
  uint64_t idle = 0;
};

std::optional<CpuTimes> read_cpu_times() {
  FILETIME idle{}, kernel{}, user{};
  if (!GetSystemTimes(&idle, &kernel, &user)) return std::nullopt;
  return CpuTimes{ticks(kernel) + ticks(user), ticks(idle)};
}

uint32_t cpu_busy_percent(const CpuTimes& before, const CpuTimes& after) {
  if (after.total <= before.total || after.idle < before.idle) return 0;
  const uint64_t total = after.total - before.total;
  const uint64_t idle = std::min(after.idle - before.idle, total);
  return static_cast<uint32_t>(std::lround(100.0 * static_cast<double>(total - idle) / static_cast<double>(total)));
}

// The 3D engines' utilization summed over every adapter and process, from the
// "GPU Engine" performance counters (Windows 10 1709 and later). Stays empty
// where the counter does not exist (older Windows, Wine): reads 0.
class GpuUtilization {
 public:
  GpuUtilization() {
    PDH_HQUERY query = nullptr;
    PDH_STATUS status = PdhOpenQueryW(nullptr, 0, &query);
    if (!pdh_ok(status)) {
      log_unavailable(status);
      return;
    }
    query_.reset(query);
    status = PdhAddEnglishCounterW(query, L"\\GPU Engine(*engtype_3D)\\Utilization Percentage", 0, &counter_);
    if (!pdh_ok(status)) {
      log_unavailable(status);
      query_.reset();
      counter_ = nullptr;
      return;
    }
    // The counter is a rate: the first reading only sets the baseline.
    PdhCollectQueryData(query);
  }

  // Since the previous call (construction for the first).
  uint32_t percent() {
    if (!query_ || !pdh_ok(PdhCollectQueryData(query_.get()))) return 0;
    // Instances come and go with the processes using the GPU; retry when the
    // set grew between sizing and reading.
    for (int attempt = 0; attempt < 3; ++attempt) {
      DWORD bytes = 0;
      DWORD count = 0;
      PDH_STATUS status = PdhGetFormattedCounterArrayW(counter_, PDH_FMT_DOUBLE, &bytes, &count, nullptr);
      if (pdh_ok(status)) return 0;  // no instances
      if (status != static_cast<PDH_STATUS>(PDH_MORE_DATA) || bytes == 0) return 0;
      items_.resize((bytes + sizeof(PDH_FMT_COUNTERVALUE_ITEM_W) - 1) / sizeof(PDH_FMT_COUNTERVALUE_ITEM_W));
      bytes = static_cast<DWORD>(items_.size() * sizeof(PDH_FMT_COUNTERVALUE_ITEM_W));
      status = PdhGetFormattedCounterArrayW(counter_, PDH_FMT_DOUBLE, &bytes, &count, items_.data());
      if (status == static_cast<PDH_STATUS>(PDH_MORE_DATA)) continue;
      if (!pdh_ok(status)) return 0;
      double sum = 0.0;
      for (DWORD i = 0; i < count && i < items_.size(); ++i) {
        const PDH_FMT_COUNTERVALUE& value = items_[i].FmtValue;
        if (value.CStatus != PDH_CSTATUS_VALID_DATA && value.CStatus != PDH_CSTATUS_NEW_DATA) continue;
        if (value.doubleValue > 0.0) sum += value.doubleValue;
      }
      return static_cast<uint32_t>(std::lround(std::min(sum, 100.0)));
    }
    return 0;
  }

 private:
  static void log_unavailable(PDH_STATUS status) {
    static std::atomic<bool> logged{false};  // once per process
    if (logged.exchange(true)) return;
    spdlog::debug("Host load: no GPU utilization counter (PDH status 0x{:08x}); GPU load reads 0",
                  static_cast<unsigned long>(status));
  }

  PdhQuery query_;
  PDH_HCOUNTER counter_ = nullptr;
  // Names point into this buffer; kept to spare an allocation per sample.
  std::vector<PDH_FMT_COUNTERVALUE_ITEM_W> items_;
};

class WinHostLoadSampler final : public HostLoadSampler {
 public:
  WinHostLoadSampler() : cpu_(read_cpu_times()) {}

  HostLoad sample() override {
    HostLoad load;
    const std::optional<CpuTimes> now = read_cpu_times();
    if (now) {
      if (cpu_) load.cpu_pct = cpu_busy_percent(*cpu_, *now);
      cpu_ = now;
    }
    load.gpu_pct = gpu_.percent();
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof(memory);
    if (GlobalMemoryStatusEx(&memory)) load.ram_mb_free = memory.ullAvailPhys >> 20;
    return load;
  }

 private:
  std::optional<CpuTimes> cpu_;
  GpuUtilization gpu_;
};

}  // namespace

std::unique_ptr<HostLoadSampler> HostLoadSampler::Create() { return std::make_unique<WinHostLoadSampler>(); }

}  // namespace vn
