#include "core/host/host_load_linux.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "core/host/host_text.h"

namespace vn {
namespace linux_host {
namespace {

namespace fs = std::filesystem;

// The unsigned decimal number at the start of `text` after spaces and tabs.
std::optional<uint64_t> leading_number(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return std::nullopt;
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (error != std::errc()) return std::nullopt;
  return value;
}

std::optional<uint64_t> meminfo_kb(std::string_view meminfo, std::string_view key) {
  return leading_number(host_text::colon_field(meminfo, key));
}

uint32_t clamp_percent(uint64_t value) { return static_cast<uint32_t>(std::min<uint64_t>(value, 100)); }

std::optional<uint32_t> nvidia_smi_utilization(const SystemPaths& paths, const std::string& address) {
  if (!paths.run_command) return std::nullopt;
  std::string command = "nvidia-smi --query-gpu=utilization.gpu --format=csv,noheader,nounits";
  if (!address.empty()) command += " -i " + address;
  const std::string out = paths.run_command(command);
  const std::optional<uint64_t> value = leading_number(std::string_view(out).substr(0, out.find('\n')));
  if (!value) return std::nullopt;
  return clamp_percent(*value);
}

class LinuxHostLoadSampler final : public HostLoadSampler {
 public:
  explicit LinuxHostLoadSampler(SystemPaths paths)
      : paths_(std::move(paths)), card_(primary_gpu_card(paths_)), cpu_(read_cpu_times(paths_)) {}

  HostLoad sample() override {
    HostLoad load;
    const std::optional<CpuTimes> now = read_cpu_times(paths_);
    if (now) {
      if (cpu_) load.cpu_pct = cpu_busy_percent(*cpu_, *now);
      cpu_ = now;  // an unreadable sample keeps the last good baseline
    }
    load.gpu_pct = read_gpu_percent(paths_, card_);
    load.ram_mb_free = read_ram_mb_free(paths_);
    return load;
  }

 private:
  const SystemPaths paths_;
  const std::optional<GpuCard> card_;
  std::optional<CpuTimes> cpu_;
};

}  // namespace

std::optional<CpuTimes> read_cpu_times(const SystemPaths& paths) {
  const std::string stat = read_file(paths.proc / "stat");
  std::string_view line;
  for (size_t pos = 0; pos < stat.size();) {
    size_t end = stat.find('\n', pos);
    if (end == std::string::npos) end = stat.size();
    const std::string_view candidate(stat.data() + pos, end - pos);
    if (candidate.rfind("cpu ", 0) == 0) {
      line = candidate.substr(4);
      break;
    }
    pos = end + 1;
  }
  // user nice system idle [iowait irq softirq steal [guest guest_nice]]; guest
  // time is already counted in user and nice.
  uint64_t fields[8] = {};
  size_t count = 0;
  while (count < 8) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), fields[count]);
    if (error != std::errc()) break;
    line.remove_prefix(static_cast<size_t>(end - line.data()));
    ++count;
  }
  if (count < 4) return std::nullopt;
  CpuTimes times;
  for (size_t i = 0; i < count; ++i) times.total += fields[i];
  times.idle = fields[3] + fields[4];
  return times;
}

uint32_t cpu_busy_percent(const CpuTimes& before, const CpuTimes& after) {
  if (after.total <= before.total) return 0;
  const uint64_t total = after.total - before.total;
  // Busy time computed per reading: the kernel's iowait (and so idle) may step
  // backwards, which must not read as a huge busy delta.
  const uint64_t busy_before = before.total - std::min(before.idle, before.total);
  const uint64_t busy_after = after.total - std::min(after.idle, after.total);
  if (busy_after <= busy_before) return 0;
  const double share = static_cast<double>(busy_after - busy_before) / static_cast<double>(total);
  return static_cast<uint32_t>(std::lround(std::min(share, 1.0) * 100.0));
}

uint64_t read_ram_mb_free(const SystemPaths& paths) {
  const std::string meminfo = read_file(paths.proc / "meminfo");
  if (const std::optional<uint64_t> available = meminfo_kb(meminfo, "MemAvailable")) return *available >> 10;
  // Kernels before 3.14 have no MemAvailable.
  const std::optional<uint64_t> free = meminfo_kb(meminfo, "MemFree");
  if (!free) return 0;
  return (*free + meminfo_kb(meminfo, "Buffers").value_or(0) + meminfo_kb(meminfo, "Cached").value_or(0)) >> 10;
}

uint32_t read_gpu_percent(const SystemPaths& paths, const std::optional<GpuCard>& card) {
  if (!card) return 0;
  if (const std::optional<uint64_t> busy = leading_number(read_file(card->device / "gpu_busy_percent"))) {
    return clamp_percent(*busy);
  }
  if (card->vendor == "10de") return nvidia_smi_utilization(paths, card->address).value_or(0);
  return 0;
}

std::unique_ptr<HostLoadSampler> create_host_load_sampler(SystemPaths paths) {
  return std::make_unique<LinuxHostLoadSampler>(std::move(paths));
}

}  // namespace linux_host

std::unique_ptr<HostLoadSampler> HostLoadSampler::Create() {
  linux_host::SystemPaths paths;
  paths.run_command = linux_host::run_command_output;
  return linux_host::create_host_load_sampler(std::move(paths));
}

}  // namespace vn
