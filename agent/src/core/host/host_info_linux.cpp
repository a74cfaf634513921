#include "core/host/host_info_linux.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

#include "core/host/host_text.h"

namespace vn {
namespace linux_host {
namespace {

namespace fs = std::filesystem;

std::string read_trimmed(const fs::path& path) {
  std::string text = read_file(path);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

// "0x10de\n" -> "10de".
std::string pci_id(const fs::path& path) {
  std::string id = read_trimmed(path);
  if (id.rfind("0x", 0) == 0) id.erase(0, 2);
  return id;
}

struct DrmCard {
  int number = 0;
  fs::path device;  // <sys>/class/drm/cardN/device
  bool boot_vga = false;
};

std::vector<DrmCard> pci_drm_cards(const fs::path& sys) {
  std::vector<DrmCard> cards;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sys / "class" / "drm", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("card", 0) != 0 || name.size() == 4) continue;
    if (!std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    DrmCard card;
    card.number = std::stoi(name.substr(4));
    card.device = entry.path() / "device";
    if (!fs::exists(card.device / "vendor", ec)) continue;  // not a PCI device
    card.boot_vga = read_trimmed(card.device / "boot_vga") == "1";
    cards.push_back(std::move(card));
  }
  std::sort(cards.begin(), cards.end(), [](const DrmCard& a, const DrmCard& b) {
    if (a.boot_vga != b.boot_vga) return a.boot_vga;
    return a.number < b.number;
  });
  return cards;
}

// The NVIDIA driver's "Model:" line for the card at PCI address `address`.
std::string nvidia_model(const fs::path& proc, const std::string& address) {
  const fs::path gpus = proc / "driver" / "nvidia" / "gpus";
  std::string model = host_text::colon_field(read_file(gpus / address / "information"), "Model");
  if (!model.empty()) return model;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(gpus, ec)) {
    model = host_text::colon_field(read_file(entry.path() / "information"), "Model");
    if (!model.empty()) return model;
  }
  return {};
}

std::optional<uint32_t> nvidia_smi_vram_mb(const SystemPaths& paths, const std::string& address) {
  if (!paths.run_command) return std::nullopt;
  const std::string out = paths.run_command(
      "nvidia-smi --query-gpu=memory.total --format=csv,noheader,nounits -i " + address);
  try {
    const unsigned long mib = std::stoul(out);
    return static_cast<uint32_t>(mib);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<GpuCard> primary_gpu_card(const SystemPaths& paths) {
  const std::vector<DrmCard> cards = pci_drm_cards(paths.sys);
  if (cards.empty()) return std::nullopt;
  GpuCard card;
  card.device = cards.front().device;
  card.vendor = pci_id(card.device / "vendor");
  std::error_code ec;
  card.address = fs::canonical(card.device, ec).filename().string();
  return card;
}

std::string run_command_output(const std::string& command) {
  // Only the NVIDIA tool is ever run, and only where the driver installed it.
  if (access("/usr/bin/nvidia-smi", X_OK) != 0) return {};
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return {};
  std::string out;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof(buffer), pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

GpuInfo query_gpu(const SystemPaths& paths) {
  GpuInfo gpu;
  const std::optional<GpuCard> card = primary_gpu_card(paths);
  if (!card) return gpu;
  const std::string& vendor = card->vendor;
  const std::string& address = card->address;
  const std::string device = pci_id(card->device / "device");

  if (vendor == "10de") gpu.name = nvidia_model(paths.proc, address);
  if (gpu.name.empty()) gpu.name = read_trimmed(card->device / "product_name");
  for (size_t i = 0; gpu.name.empty() && i < paths.pci_ids.size(); ++i) {
    gpu.name = host_text::pci_ids_name(read_file(paths.pci_ids[i]), vendor, device);
  }
  if (gpu.name.empty() && !vendor.empty()) gpu.name = "PCI device " + vendor + ":" + device;

  const std::string vram_bytes = read_trimmed(card->device / "mem_info_vram_total");
  if (!vram_bytes.empty()) {
    try {
      gpu.vram_mb = static_cast<uint32_t>(std::stoull(vram_bytes) >> 20);
    } catch (const std::exception&) {
    }
  } else if (vendor == "10de") {
    gpu.vram_mb = nvidia_smi_vram_mb(paths, address).value_or(0);
  }
  return gpu;
}

std::string query_cpu_name(const SystemPaths& paths) {
  const std::string cpuinfo = read_file(paths.proc / "cpuinfo");
  for (const char* key : {"model name", "Hardware", "Processor", "cpu model"}) {
    std::string name = host_text::colon_field(cpuinfo, key);
    if (!name.empty()) return name;
  }
  return {};
}

std::string query_os_version(const SystemPaths& paths, const std::string& kernel_release) {
  if (kernel_release.empty()) return {};
  std::string version = "Linux " + kernel_release;
  const std::string os_release = read_file(paths.os_release);
  std::string distribution = host_text::os_release_field(os_release, "NAME");
  const std::string distribution_version = host_text::os_release_field(os_release, "VERSION_ID");
  if (!distribution_version.empty() && !distribution.empty()) distribution += " " + distribution_version;
  if (!distribution.empty()) version += " (" + distribution + ")";
  return version;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace linux_host

GpuInfo query_gpu_info() {
  linux_host::SystemPaths paths;
  paths.run_command = linux_host::run_command_output;
  return linux_host::query_gpu(paths);
}

HostInfo query_host_info() {
  const linux_host::SystemPaths paths;
  HostInfo host;
  host.cpu_name = linux_host::query_cpu_name(paths);
  struct sysinfo info{};
  if (sysinfo(&info) == 0) {
    host.ram_mb = static_cast<uint32_t>((static_cast<uint64_t>(info.totalram) * info.mem_unit) >> 20);
  }
  struct utsname name{};
  host.os_version = linux_host::query_os_version(paths, uname(&name) == 0 ? name.release : "");
  return host;
}

}  // namespace vn
