#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/host/host_info.h"

// Linux host detection over a configurable file-system root, so that tests can
// point it at a fixture tree.
namespace vn::linux_host {

struct SystemPaths {
  std::filesystem::path sys = "/sys";
  std::filesystem::path proc = "/proc";
  std::filesystem::path os_release = "/etc/os-release";
  std::vector<std::filesystem::path> pci_ids = {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"};
  // Runs a command line and returns its standard output ("" on failure); used
  // for the NVIDIA driver's nvidia-smi. Null: commands are not run.
  std::function<std::string(const std::string&)> run_command;
};

// The card GPU detection describes: the boot VGA card, else the
// lowest-numbered DRM card with a PCI device.
struct GpuCard {
  std::filesystem::path device;  // <sys>/class/drm/cardN/device
  std::string vendor;            // PCI vendor id, lower-case hex without "0x" ("10de")
  std::string address;           // PCI address ("0000:01:00.0"); empty when the link does not resolve
};
std::optional<GpuCard> primary_gpu_card(const SystemPaths& paths);

// Runs `command` through the shell when the NVIDIA tool is installed, and
// returns its standard output ("" otherwise or on failure). The production
// SystemPaths::run_command.
std::string run_command_output(const std::string& command);

// The whole file, or "" when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// The card of primary_gpu_card(): name from the NVIDIA driver, the amdgpu product name or pci.ids; dedicated
// memory from amdgpu's VRAM counter or nvidia-smi.
GpuInfo query_gpu(const SystemPaths& paths);

// /proc/cpuinfo's "model name" (or "Hardware"/"Processor" on ARM boards).
std::string query_cpu_name(const SystemPaths& paths);

// "Linux <kernel release>" followed by " (<NAME> <VERSION_ID>)" from os-release when known.
std::string query_os_version(const SystemPaths& paths, const std::string& kernel_release);

}  // namespace vn::linux_host
